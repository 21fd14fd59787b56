// The main window's bottom bar: settings, IP address, help and about buttons, screenshot and
// record buttons with the recording clock, the connection state and the audio level meter. Owns
// the small pop-ups (IP address, screenshot confirmation, first-start tooltip) and creates the
// settings dialog on first need.
// Thread rules: GUI thread only; the level arrives queued from the audio thread.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class MenuStateForm;
}
class FirstTooltipsForm;
class IPDisplayDialog;
class QssManager;
class SettingDialog;

class MenuStateForm : public QWidget {
    Q_OBJECT

public:
    explicit MenuStateForm(QWidget* parent = nullptr);
    ~MenuStateForm() override;

    // "已连接<name>" with the name elided to fit, or "未连接" for an empty name.
    void showPhoneName(const QString& name);
    // The state text for a connection: as above, but "已连接" when the phone sent no name.
    void showConnected(const QString& name);
    // Disabling, or enabling again, ends a recording in progress.
    void enableMirrorActions(bool on);
    void enableVolumeMeter(bool on);
    void setRecordTime(const QString& text);
    void remoteRecordStart();
    void remoteRecordStop();
    // Stores and saves the setting through the settings dialog.
    void setMicSwitch(bool on);
    void showFirstTooltip();
    void showScreenshotBubble();

    // For the window and its tests.
    SettingDialog* settingDialog() const;
    IPDisplayDialog* ipPopup() const;
    FirstTooltipsForm* firstTooltip() const;
    static IPDisplayDialog* screenshotBubble();
    int meterFullHeight() const { return meterHeight_; }

signals:
    void sig_screenShot();
    void sig_recoderStart();
    void sig_recoderStop();

public slots:
    void slot_setVolumnValue(double radio);
    void slot_closeHelpFresh();

private slots:
    void on_pushButton_menu_set_clicked();
    void on_pushButton_menu_aboutus_clicked();
    void on_pushButton_menu_record_clicked(bool checked);
    void on_pushButton_menu_cutscm_clicked();
    void on_pushButton_menu_help_clicked();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ensureSettingDialog();
    void setSpeakerStyle(bool connected);
    // Where a pop-up goes: left of and above the button's top-left corner by (dx, dy) times the
    // DPI scale, in global coordinates.
    QPoint popupPosition(QWidget* button, int dx, int dy) const;

    std::unique_ptr<Ui::MenuStateForm> ui_;
    QssManager* qss_ = nullptr;                 // child of this form
    QPointer<SettingDialog> settingDialog_;     // child of the main window, kept
    QPointer<IPDisplayDialog> ipPopup_;         // child of the IP button
    QPointer<FirstTooltipsForm> firstTooltip_;  // child of the main window
    int meterHeight_ = 0;
    static QPointer<IPDisplayDialog> bubble_;  // the one screenshot confirmation shown
};
