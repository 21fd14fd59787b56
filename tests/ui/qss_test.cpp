#include <gtest/gtest.h>

#include <QFile>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>

#include "test_env.h"
#include "ui/qssmanager.h"
#include "ui/skin.h"

namespace {

// This program runs on a 144-DPI screen: the X screen plugin reads the variable when the
// application object (made by the shared test main) opens the display.
const bool kScreenAt144 = (::setenv("QT_FONT_DPI", "144", 1), true);

QString writeSheet(const QString& name, const QByteArray& text) {
    const QString path = kivotest::scratchDir() + "/" + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return QString();
    file.write(text);
    return path;
}

}  // namespace

// The scaler must keep every sheet valid CSS: whole pixel sizes grow by the factor, decimals are
// never split at their point, and a comma locale never turns 34.5 into 34,5.
TEST(QssScale, NumbersDecimalsAndLocale) {
    ASSERT_TRUE(kScreenAt144);
    const QString sheet =
        "QWidget#a { min-width: 23px; max-height: 37px; border: 0.5px; margin: 10px 2px; }";
    EXPECT_EQ(sheet, QssManager::scaleStyleSheet(sheet, 1.0));
    EXPECT_EQ(sheet, QssManager::scaleStyleSheet(sheet, 0.75));
    const QString want =
        "QWidget#a { min-width: 34.5px; max-height: 55.5px; border: 0.5px; margin: 10px 3px; }";
    EXPECT_EQ(want, QssManager::scaleStyleSheet(sheet, 1.5));
    EXPECT_EQ("a{width:2px;}b{width:4px;}",
              QssManager::scaleStyleSheet("a{width:1px;}b{width:2px;}", 2));
    // Six significant digits, as the general format gives them.
    EXPECT_EQ("x: 11.6667px;", QssManager::scaleStyleSheet("x: 7px;", 5.0 / 3.0));

    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(want, QssManager::scaleStyleSheet(sheet, 1.5));
    QLocale::setDefault(before);
}

// Loading a sheet on a 144-DPI screen scales it by 1.5; a missing sheet changes nothing and says
// nothing.
TEST(QssManagerTest, LoadsScaledSheetAndIgnoresMissingOne) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(nullptr, screen);
    ASSERT_DOUBLE_EQ(144.0, screen->logicalDotsPerInch());
    EXPECT_DOUBLE_EQ(1.5, QssManager::scaleFactor());

    const QString path =
        writeSheet("sheet.qss", "QLabel#l { min-width: 23px; font: 9pt \"Microsoft YaHei\"; }");
    ASSERT_FALSE(path.isEmpty());
    QWidget styled;
    auto* qss = new QssManager(&styled);
    qss->loadStyleSheet(path);
    EXPECT_EQ("QLabel#l { min-width: 34.5px; font: 9pt \"Microsoft YaHei\"; }",
              styled.styleSheet());

    QWidget bare;
    (new QssManager(&bare))->loadStyleSheet(":/qss/no/such/sheet.qss");
    EXPECT_TRUE(bare.styleSheet().isEmpty());
    // A missing sheet does not wipe the one already set either.
    qss->loadStyleSheet(kivotest::scratchDir() + "/missing.qss");
    EXPECT_EQ("QLabel#l { min-width: 34.5px; font: 9pt \"Microsoft YaHei\"; }",
              styled.styleSheet());

    // Scaled pictures come from their double-size drawings where one exists.
    ui::initSkin();
    const QString pictures = "a{border-image: url(:/image/menu_set.png);} b{image: url(:/x.png);}";
    EXPECT_EQ("a{border-image: url(\":/image/menu_set@2x.png\");} b{image: url(:/x.png);}",
              QssManager::withSharpPictures(pictures, 1.5));
    // ...and the rewritten sheet still parses (a failed parse leaves the text colour alone).
    QLabel label;
    label.setStyleSheet(QssManager::withSharpPictures(
        "QLabel{border-image: url(:/image/menu_set.png); color: #ff0000;}", 1.5));
    label.ensurePolished();
    EXPECT_EQ(QColor(255, 0, 0), label.palette().color(QPalette::WindowText));
    EXPECT_EQ(pictures, QssManager::withSharpPictures(pictures, 1.0));
}

// Layout scaling reaches every nested layout, and a grid's two spacings separately.
TEST(QssManagerTest, ScalesLayoutsRecursively) {
    QWidget w;
    auto* outer = new QVBoxLayout(&w);
    outer->setContentsMargins(10, 20, 30, 40);
    outer->setSpacing(4);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(2, 2, 3, 3);
    row->setSpacing(6);
    outer->addLayout(row);
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 1, 0, 1);
    grid->setHorizontalSpacing(3);
    grid->setVerticalSpacing(5);
    row->addLayout(grid);

    new QssManager(&w, true);
    EXPECT_EQ(QMargins(15, 30, 45, 60), outer->contentsMargins());
    EXPECT_EQ(6, outer->spacing());
    EXPECT_EQ(QMargins(3, 3, 4, 4), row->contentsMargins());  // truncated, not rounded
    EXPECT_EQ(9, row->spacing());
    EXPECT_EQ(QMargins(0, 1, 0, 1), grid->contentsMargins());
    EXPECT_EQ(4, grid->horizontalSpacing());
    EXPECT_EQ(7, grid->verticalSpacing());

    // Without the flag the layouts stay as they are.
    QWidget plain;
    auto* l = new QVBoxLayout(&plain);
    l->setContentsMargins(10, 10, 10, 10);
    new QssManager(&plain);
    EXPECT_EQ(QMargins(10, 10, 10, 10), l->contentsMargins());
}
