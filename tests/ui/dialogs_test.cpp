#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

#include <functional>
#include <memory>
#include <vector>

#include "config/kivocamdata.h"
#include "ui/aboutusdialog.h"
#include "ui/firsttooltipsform.h"
#include "ui/helpinfodialog.h"
#include "ui/ipdisplaydialog.h"
#include "ui/prompts.h"
#include "ui/settingdialog.h"
#include "ui/skin.h"
#include "ui/usehelpdialog.h"

namespace {

struct Framed {
    std::function<QDialog*()> make;
    const char* title;
    const char* close;
};

const std::vector<Framed>& framedDialogs() {
    static const std::vector<Framed> all = {
        {[] { return new AboutUsDialog(nullptr); }, "widget_about_title", "pushButton_about_close"},
        {[] { return new HelpInfoDialog(nullptr); }, "widget_helpinfo_title",
         "pushButton_helpinfo_close"},
        {[] { return new UseHelpDialog(nullptr); }, "widget_help_title", "pushButton_help_close"},
        {[] { return new SettingDialog(nullptr); }, "widget_set_title", "pushButton_title_close"},
    };
    return all;
}

QPoint globalCentre(const QWidget* w) {
    return w->mapToGlobal(w->rect().center());
}

// Every character a person reads: label and button texts (rich text as shown) and tool tips.
QString visibleText(const QWidget* w) {
    QString text = w->toolTip();
    if (auto* label = qobject_cast<const QLabel*>(w)) {
        QTextDocument doc;
        doc.setHtml(label->text());
        text += label->textFormat() == Qt::PlainText ? label->text() : doc.toPlainText();
    } else if (auto* button = qobject_cast<const QAbstractButton*>(w)) {
        text += button->text();
    }
    return text;
}

}  // namespace

// Each framed dialog: frameless dialog flags, a caption that is its title bar minus the close
// button, client area below the title, and a close button that closes it when clicked through
// the window system (the drag handling must not swallow the press).
TEST(Dialogs, FramedDialogsCaptionAndClose) {
    ui::initSkin();
    for (const Framed& f : framedDialogs()) {
        std::unique_ptr<QDialog> d(f.make());
        SCOPED_TRACE(d->metaObject()->className());
        EXPECT_EQ(Qt::Dialog, d->windowType());
        EXPECT_TRUE(d->windowFlags() & Qt::FramelessWindowHint);
        d->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(d.get()));
        auto* iface = dynamic_cast<ResizeInterface*>(d.get());
        auto* title = d->findChild<QWidget*>(f.title);
        auto* close = d->findChild<QPushButton*>(f.close);
        ASSERT_TRUE(iface && title && close);
        const QPoint inTitle = title->mapToGlobal(QPoint(title->width() / 3, title->height() / 2));
        EXPECT_TRUE(iface->inCaption(inTitle.x(), inTitle.y()));
        const QPoint onClose = globalCentre(close);
        EXPECT_FALSE(iface->inCaption(onClose.x(), onClose.y()));
        const QPoint below = title->mapToGlobal(QPoint(title->width() / 2, title->height() + 4));
        EXPECT_FALSE(iface->inCaption(below.x(), below.y()));
        const QPoint outside = d->mapToGlobal(QPoint(-5, 5));
        EXPECT_FALSE(iface->inCaption(outside.x(), outside.y()));
        // No window of the program resizes by its edges.
        const QPoint corner = d->mapToGlobal(QPoint(0, 0));
        EXPECT_FALSE(iface->onTopEdge(corner.x(), corner.y()) ||
                     iface->onLeftEdge(corner.x(), corner.y()) ||
                     iface->onBottomEdge(corner.x(), corner.y()) ||
                     iface->onRightEdge(corner.x(), corner.y()));
        QTest::mouseClick(d->windowHandle(), Qt::LeftButton, {},
                          close->mapTo(d.get(), close->rect().center()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !d->isVisible(); }));
    }
}

// Links of the about, help and use-help dialogs go to the desktop's opener with our own
// addresses; the help page text comes from the resources.
TEST(Dialogs, LinksGoToDesktopOpener) {
    ui::initSkin();
    std::vector<QUrl> opened;
    ui::setOpenUrlHook([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    {
        AboutUsDialog about(nullptr);
        for (const char* name : {"label_about_products", "label_about_agreement"}) {
            auto* label = about.findChild<QLabel*>(name);
            ASSERT_NE(nullptr, label);
            EXPECT_TRUE(label->text().contains("https://www.kivocam.com/")) << name;
            emit label->linkActivated("https://www.kivocam.com/privacy");
        }
        UseHelpDialog help(nullptr);
        auto* step1 = help.findChild<QLabel*>("label_help_step1");
        ASSERT_NE(nullptr, step1);
        EXPECT_TRUE(step1->text().startsWith("1. 请下载移动端虚拟摄像头APP，或"));
        EXPECT_TRUE(step1->text().contains("https://www.kivocam.com/download"));
        emit step1->linkActivated("https://www.kivocam.com/download");
        // Each code is on screen: many dark modules on white.
        for (const char* qr : {"label_help_qr_android", "label_help_qr_ios"}) {
            auto* label = help.findChild<QLabel*>(qr);
            ASSERT_NE(nullptr, label);
            const QImage shown = label->grab().toImage();
            int dark = 0;
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x) dark += qGray(shown.pixel(x, y)) < 64;
            EXPECT_GT(dark, shown.width() * shown.height() / 5) << qr;
        }

        HelpInfoDialog info(nullptr);
        auto* content = info.findChild<QLabel*>("label_helpinfo_content");
        ASSERT_NE(nullptr, content);
        EXPECT_FALSE(content->text().isEmpty());
        emit content->linkActivated("https://www.kivocam.com/help");
    }
    ui::setOpenUrlHook({});
    EXPECT_EQ((std::vector<QUrl>{
                  QUrl("https://www.kivocam.com/privacy"), QUrl("https://www.kivocam.com/privacy"),
                  QUrl("https://www.kivocam.com/download"), QUrl("https://www.kivocam.com/help")}),
              opened);
}

// The IP pop-up never takes the focus, starts with "- - -" and shows the advertised address from
// the configuration, or "-.-.-.-" while there is none.
TEST(Dialogs, IpPopupShowsConfiguredAddress) {
    ui::initSkin();
    IPDisplayDialog popup(nullptr);
    auto* label = popup.findChild<QLabel*>("label_ipdisplay");
    ASSERT_NE(nullptr, label);
    EXPECT_EQ("- - -", label->text());
    EXPECT_EQ(Qt::AlignCenter, label->alignment());
    EXPECT_EQ(Qt::ToolTip, popup.windowType());
    KivoCamData::instance()->setIpAddress(QString());
    popup.refreshAddress();
    EXPECT_EQ("-.-.-.-", label->text());
    KivoCamData::instance()->setIpAddress("192.168.31.7");
    popup.refreshAddress();
    EXPECT_EQ("192.168.31.7", label->text());
    popup.setText("截屏成功，可在\n设置中打开目录查看");
    EXPECT_EQ("截屏成功，可在\n设置中打开目录查看", popup.text());
    KivoCamData::instance()->setIpAddress(QString());

    // Clipped to its rounded shape: the corner pixel is outside, the middle inside.
    popup.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&popup));
    EXPECT_FALSE(popup.mask().contains(QPoint(0, 0)));
    EXPECT_TRUE(popup.mask().contains(popup.rect().center()));
}

// The first-run bubble: a translucent tool-tip window whose painted bubble is also its mask, so
// its corners are neither black nor clickable without a compositor; its close button closes it
// and says so once.
TEST(Dialogs, FirstRunBubblePaintsItsShapeAndCloses) {
    ui::initSkin();
    FirstTooltipsForm bubble(nullptr);
    EXPECT_EQ(Qt::ToolTip, bubble.windowType());
    EXPECT_TRUE(bubble.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(bubble.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ("不知道怎么用，看这里哦！", bubble.findChild<QLabel*>("label_ftip_text")->text());
    bubble.move(200, 200);
    bubble.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bubble));
    const int w = bubble.width();
    const int h = bubble.height();
    ASSERT_GT(w, 60);
    ASSERT_GT(h, 60);

    const QRegion mask = bubble.mask();
    EXPECT_FALSE(mask.contains(QPoint(1, 1)));
    EXPECT_FALSE(mask.contains(QPoint(w - 2, h - 2)));
    EXPECT_FALSE(mask.contains(QPoint(w / 2, h - 5)));        // beyond the arrow's tip
    EXPECT_TRUE(mask.contains(QPoint(w / 2, h - 13)));        // inside the arrow
    EXPECT_FALSE(mask.contains(QPoint(w / 2 - 15, h - 13)));  // beside it
    EXPECT_TRUE(mask.contains(QPoint(25, 25)));

    const QImage painted = bubble.grab().toImage();
    EXPECT_EQ(QColor(165, 197, 243), painted.pixelColor(22, h / 2));
    EXPECT_EQ(QColor(165, 197, 243), painted.pixelColor(w / 2, h - 13));
    EXPECT_EQ(0, painted.pixelColor(5, 5).alpha());

    bubble.setArrow(FirstTooltipsForm::ArrowTop, 0.25);
    EXPECT_TRUE(bubble.mask().contains(QPoint(w / 4, 13)));
    EXPECT_FALSE(bubble.mask().contains(QPoint(w / 2, h - 13)));

    bubble.setTextColor(QColor(1, 2, 3));
    EXPECT_EQ("color: rgb(1, 2, 3)", bubble.findChild<QLabel*>("label_ftip_text")->styleSheet());

    QSignalSpy closed(&bubble, &FirstTooltipsForm::sig_firstClose);
    auto* close = bubble.findChild<QPushButton*>("pushButton_ftip_close");
    ASSERT_NE(nullptr, close);
    EXPECT_EQ("关闭提示", close->text());
    QTest::mouseClick(bubble.windowHandle(), Qt::LeftButton, {},
                      close->mapTo(&bubble, close->rect().center()));
    EXPECT_EQ(1, closed.count());
    EXPECT_FALSE(bubble.isVisible());
}

// Every Chinese text of the dialogs renders with real glyphs from an installed font, in the font
// the style sheets give it.
TEST(Dialogs, ChineseTextsHaveGlyphs) {
    ui::initSkin();
    std::vector<std::unique_ptr<QWidget>> windows;
    for (const Framed& f : framedDialogs()) windows.emplace_back(f.make());
    windows.emplace_back(new IPDisplayDialog(nullptr));
    windows.emplace_back(new FirstTooltipsForm(nullptr));
    int checked = 0;
    for (auto& window : windows) {
        window->ensurePolished();
        for (QWidget* w : window->findChildren<QWidget*>()) {
            w->ensurePolished();
            const QString text = visibleText(w);
            const QFontMetrics fm(w->font());
            for (const uint ucs : text.toUcs4()) {
                if (ucs < 0x2E80) continue;
                ++checked;
                EXPECT_TRUE(fm.inFontUcs4(ucs))
                    << w->objectName().toStdString() << " U+" << std::hex << ucs;
            }
        }
    }
    EXPECT_GT(checked, 100);
}
