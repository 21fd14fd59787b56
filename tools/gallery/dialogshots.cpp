// The dialogs of the main window and the bottom bar, in each state a person can meet them.
#include <QCoreApplication>
#include <QWidget>

#include "config/kivocamdata.h"
#include "gallery.h"
#include "ui/aboutusdialog.h"
#include "ui/firsttooltipsform.h"
#include "ui/helpinfodialog.h"
#include "ui/ipdisplaydialog.h"
#include "ui/settingdialog.h"
#include "ui/usehelpdialog.h"

namespace gallery {
namespace {

QWidget* settings(bool micOn) {
    auto* d = new SettingDialog(nullptr);
    d->setMicSwitch(micOn);
    return d;
}

QWidget* ipPopup(const QString& address) {
    KivoCamData::instance()->setIpAddress(address);
    auto* d = new IPDisplayDialog(nullptr);
    d->refreshAddress();
    return d;
}

}  // namespace

void addDialogShots() {
    addShot("settingdialog-mic-on", [] { return settings(true); });
    addShot("settingdialog-mic-off", [] { return settings(false); });
    addShot("ipdisplay-address", [] { return ipPopup("192.168.1.23"); });
    addShot("ipdisplay-no-address", [] { return ipPopup(QString()); });
    addShot("ipdisplay-screenshot-done", [] {
        auto* d = new IPDisplayDialog(nullptr);
        d->setText(
            QCoreApplication::translate("MenuStateForm", "截屏成功，可在\n设置中打开目录查看"));
        return d;
    });
    addShot("firsttooltips", [] { return new FirstTooltipsForm(nullptr); });
    addShot("aboutus", [] { return new AboutUsDialog(nullptr); });
    addShot("helpinfo", [] { return new HelpInfoDialog(nullptr); });
    addShot("usehelp", [] { return new UseHelpDialog(nullptr); });
}

}  // namespace gallery
