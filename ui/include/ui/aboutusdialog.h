// "关于我们": the program's picture, name, a detail line, links to our products, the user
// agreement and the privacy policy, and the rights line. Frameless, dragged by its title.
// Thread rules: GUI thread only.
#pragma once

#include <QDialog>
#include <QList>

#include "ui/resizeinterface.h"

namespace Ui {
class AboutUsDialog;
}

class AboutUsDialog : public QDialog, public ResizeInterface {
    Q_OBJECT

public:
    explicit AboutUsDialog(QWidget* parent);
    ~AboutUsDialog() override;

    bool inCaption(int x, int y) override;

public slots:
    void slot_openUrl(const QString& url);

private slots:
    void on_pushButton_about_close_clicked();

private:
    Ui::AboutUsDialog* ui;
    QList<QWidget*> noDrag_;
};
