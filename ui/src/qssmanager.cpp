#include "ui/qssmanager.h"

#include <QFile>
#include <QGuiApplication>
#include <QGridLayout>
#include <QLayout>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

#include "ui/language.h"

QssManager::QssManager(QWidget* parent, bool scaleLayouts) : QObject(parent) {
    if (scaleLayouts && parent && parent->layout()) scaleLayout(parent->layout());
}

void QssManager::loadStyleSheet(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly)) return;
    QString text = QString::fromUtf8(file.readAll());
    if (ui::currentLanguage() == ui::Language::English &&
        resourcePath.endsWith(QLatin1String(".qss"))) {
        QFile english(resourcePath.chopped(4) + QLatin1String("_en.qss"));
        if (english.open(QIODevice::ReadOnly))
            text += QLatin1Char('\n') + QString::fromUtf8(english.readAll());
    }
    if (auto* widget = qobject_cast<QWidget*>(parent()))
        widget->setStyleSheet(
            scaleStyleSheet(withSharpPictures(text, scaleFactor()), scaleFactor()));
}

QString QssManager::withSharpPictures(const QString& text, double s) {
    if (s <= 1.0) return text;
    // Qt's own scaling is off, so a scaled sheet would stretch the 1x pictures; the double-size
    // drawings are shrunk instead, which stays sharp. Quoted: the sheet parser refuses a bare '@'.
    static const QRegularExpression picture(QStringLiteral("url\\((:/[^)@]+)\\.png\\)"));
    QString out;
    int from = 0;
    auto it = picture.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QString sharp = m.captured(1) + QLatin1String("@2x.png");
        out += text.midRef(from, m.capturedStart() - from);
        out += QFile::exists(sharp) ? QStringLiteral("url(\"%1\")").arg(sharp) : m.captured(0);
        from = m.capturedEnd();
    }
    out += text.midRef(from);
    return out;
}

void QssManager::scaleLayout(QLayout* layout) {
    if (!layout) return;
    const double s = scaleFactor();
    const QMargins m = layout->contentsMargins();
    layout->setContentsMargins(int(m.left() * s), int(m.top() * s), int(m.right() * s),
                               int(m.bottom() * s));
    if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
        // A grid may space rows and columns differently; spacing() is -1 then.
        if (grid->horizontalSpacing() >= 0)
            grid->setHorizontalSpacing(int(grid->horizontalSpacing() * s));
        if (grid->verticalSpacing() >= 0)
            grid->setVerticalSpacing(int(grid->verticalSpacing() * s));
    } else if (layout->spacing() >= 0) {
        layout->setSpacing(int(layout->spacing() * s));
    }
    for (QObject* child : layout->children()) {
        if (auto* sub = qobject_cast<QLayout*>(child)) scaleLayout(sub);
    }
}

double QssManager::scaleFactor() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInch() / 96.0 : 1.0;
}

QString QssManager::scaleStyleSheet(const QString& text, double s) {
    if (s <= 1.0) return text;
    // The look-behind keeps the fraction of "0.5px;" from being read as a number of its own.
    static const QRegularExpression number(QStringLiteral("(?<![\\d.])(\\d+)px;"));
    QString out;
    out.reserve(text.size() + text.size() / 8);
    int from = 0;
    auto it = number.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += text.midRef(from, m.capturedStart() - from);
        // QString::number never uses the locale.
        out += QString::number(m.capturedRef(1).toDouble() * s, 'g', 6);
        out += QLatin1String("px;");
        from = m.capturedEnd();
    }
    out += text.midRef(from);
    return out;
}
