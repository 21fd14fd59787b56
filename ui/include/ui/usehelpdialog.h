// "使用帮助": the three steps to connect a phone, with the download QR codes. Frameless, dragged
// by its title.
// Thread rules: GUI thread only.
#pragma once

#include <QDialog>
#include <QList>

#include "ui/resizeinterface.h"

namespace Ui {
class UseHelpDialog;
}

class UseHelpDialog : public QDialog, public ResizeInterface {
    Q_OBJECT

public:
    explicit UseHelpDialog(QWidget* parent);
    ~UseHelpDialog() override;

    bool inCaption(int x, int y) override;

public slots:
    void slot_openUrl(const QString& url);

private slots:
    void on_pushButton_help_close_clicked();

private:
    Ui::UseHelpDialog* ui;
    QList<QWidget*> noDrag_;
};
