// "其它软件如何使用Kivo虚拟摄像头？": the help page in a scroll area. Frameless, dragged by its
// title.
// Thread rules: GUI thread only.
#pragma once

#include <QDialog>
#include <QList>

#include "ui/resizeinterface.h"

namespace Ui {
class HelpInfoDialog;
}

class HelpInfoDialog : public QDialog, public ResizeInterface {
    Q_OBJECT

public:
    explicit HelpInfoDialog(QWidget* parent);
    ~HelpInfoDialog() override;

    bool inCaption(int x, int y) override;

public slots:
    void slot_openUrl(const QString& url);

private slots:
    void on_pushButton_helpinfo_close_clicked();

private:
    Ui::HelpInfoDialog* ui;
    QList<QWidget*> noDrag_;
};
