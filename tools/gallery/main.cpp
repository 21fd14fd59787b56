// kivocam-gallery OUTDIR [--dpi 96|144] [--lang zh|en]: one PNG per window and state, named after
// what it shows, in the language asked for. A text that does not fit its widget is named on
// standard output ("clipped in ...") and fails the run.
// Runs with private settings folders, so it never touches the user's settings, and with no
// network adapters, so nothing it builds can announce itself on a network.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/kivocamdata.h"
#include "fitcheck.h"
#include "gallery.h"
#include "kivobridge/bridge.h"
#include "ui/language.h"
#include "ui/skin.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: kivocam-gallery OUTDIR [--dpi 96|144] [--lang zh|en]\n");
    return 2;
}

// Until the window is on screen and every queued layout and paint has run.
bool waitShown(QWidget* w) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (w->windowHandle() && w->windowHandle()->isExposed()) {
            QCoreApplication::processEvents();
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const QString out = QString::fromLocal8Bit(argv[1]);
    int dpi = 96;
    ui::Language language = ui::Language::Chinese;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dpi") == 0 && i + 1 < argc) {
            dpi = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--lang") == 0 && i + 1 < argc) {
            const std::string code = argv[++i];
            if (code != "zh" && code != "en") return usage();
            language = code == "en" ? ui::Language::English : ui::Language::Chinese;
        } else {
            return usage();
        }
    }
    if (dpi != 96 && dpi != 144) return usage();

    // The style sheets scale by the screen's logical DPI; Qt's own scaling stays off so the two
    // never multiply.
    ::setenv("QT_FONT_DPI", std::to_string(dpi).c_str(), 1);
    for (const char* v :
         {"QT_SCALE_FACTOR", "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS"})
        ::unsetenv(v);
    QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling);

    QTemporaryDir scratch(QDir::tempPath() + "/kivocam-gallery-XXXXXX");
    if (!scratch.isValid()) {
        std::fprintf(stderr, "kivocam-gallery: no temporary folder\n");
        return 1;
    }
    for (const char* sub : {"config", "state"}) QDir(scratch.path()).mkpath(sub);
    ::setenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath("config")).constData(), 1);
    ::setenv("XDG_STATE_HOME", QFile::encodeName(scratch.filePath("state")).constData(), 1);
    ::setenv("KIVOCAM_ADAPTERS", "", 1);
    if (!std::getenv("KIVOCAM_LOG_LEVEL")) ::setenv("KIVOCAM_LOG_LEVEL", "3", 1);

    bg::InitBridge(argc, argv);
    int failures = 0;
    {
        QApplication app(argc, argv);
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (!screen || int(screen->logicalDotsPerInch() + 0.5) != dpi) {
            std::fprintf(stderr, "kivocam-gallery: the screen reports %.1f DPI, not %d\n",
                         screen ? screen->logicalDotsPerInch() : 0.0, dpi);
            failures = 1;
        }
        ui::initSkin();
        if (!ui::useLanguage(language)) failures = 1;
        // The same values in every picture, whatever machine renders them.
        KivoCamData* cfg = KivoCamData::instance();
        cfg->setDeviceName(QStringLiteral("KivoCam[书房电脑]"));
        cfg->setSaveDir(QStringLiteral("/home/kivo/视频/KivoCam"));
        cfg->setOpenShotDir(true);

        QDir().mkpath(out);
        gallery::addDialogShots();
        gallery::addMainWindowShots();
        for (const gallery::Shot& shot : gallery::shots()) {
            std::unique_ptr<QWidget> w(shot.make());
            w->move(40, 40);
            w->show();
            const QString file = QDir(out).filePath(shot.name + ".png");
            if (!waitShown(w.get()) || !w->grab().save(file, "PNG")) {
                std::fprintf(stderr, "kivocam-gallery: %s failed\n", qPrintable(shot.name));
                ++failures;
                continue;
            }
            std::printf("%s %dx%d\n", qPrintable(file), w->width(), w->height());
            for (const QString& text : gallery::clippedTexts(w.get())) {
                std::printf("clipped in %s: %s\n", qPrintable(shot.name), qPrintable(text));
                ++failures;
            }
        }
    }
    bg::UninitBridge();
    return failures ? 1 : 0;
}
