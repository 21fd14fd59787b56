// "更多设置": screenshot behaviour, window on top, the virtual microphone, the device name and
// the save folder. Every change takes effect at once; window-on-top and the microphone are
// announced as the named bridge signals "mainWindows.wintop" and "mainWindows.virtualMic".
// Thread rules: GUI thread only; the bridge signals are emitted synchronously on it.
#pragma once

#include <QDialog>
#include <QList>

#include "ui/resizeinterface.h"

namespace Ui {
class SettingDialog;
}

class SettingDialog : public QDialog, public ResizeInterface {
    Q_OBJECT

public:
    // Longest device name stored; longer names do not fit the discovery datagram comfortably.
    static constexpr int kMaxDeviceName = 64;

    explicit SettingDialog(QWidget* parent);
    ~SettingDialog() override;

    bool inCaption(int x, int y) override;

    // Reflects a microphone outcome learnt elsewhere and stores it; emits nothing.
    void setMicSwitch(bool on);
    bool micSwitch() const { return micSwitch_; }

private slots:
    void on_pushButton_title_close_clicked();
    void on_pushButton_versioncheck_clicked();
    void on_pushButton_select_dir_clicked();
    void on_pushButton_open_dir_clicked();
    void on_lineEdit_device_name_textChanged(const QString& arg1);
    void on_checkBox_wintop_stateChanged(int arg1);
    void on_radioButton_vmic_open_clicked();
    void on_radioButton_vmic_close_clicked();
    void on_checkBox_shotOpendir_stateChanged(int arg1);

private:
    void restoreDeviceName();

    Ui::SettingDialog* ui;
    QList<QWidget*> noDrag_;
    bool micSwitch_ = false;
};
