// A small pop-up with one centred line: the PC's advertised address, or another short text
// (the screenshot confirmation). Placed by the caller with move(); never takes the focus.
// Thread rules: GUI thread only.
#pragma once

#include <QDialog>

namespace Ui {
class IPDisplayDialog;
}

class IPDisplayDialog : public QDialog {
    Q_OBJECT

public:
    explicit IPDisplayDialog(QWidget* parent);
    ~IPDisplayDialog() override;

    void setText(const QString& text);
    QString text() const;
    // The address from the configuration, or "-.-.-.-" while there is none.
    void refreshAddress();

protected:
    // Clips the window to the rounded bubble: without a compositor the corners would be black.
    void resizeEvent(QResizeEvent* event) override;

private:
    Ui::IPDisplayDialog* ui;
};
