#include "ui/language.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include "config/settingsaccess.h"
#include "kivobridge/log.h"

namespace ui {
namespace {

constexpr const char* kKeyLanguage = "cfg_language";

Language& current() {
    static Language language = Language::Chinese;
    return language;
}

QTranslator& translator() {
    // Lives to the end of the process, like the application it is installed on.
    static QTranslator* t = new QTranslator;
    return *t;
}

}  // namespace

Language pickLanguage(const QString& setting, const QStringList& uiLanguages) {
    const QString chosen = setting.trimmed().toLower();
    if (chosen == QLatin1String("zh")) return Language::Chinese;
    if (chosen == QLatin1String("en")) return Language::English;
    if (uiLanguages.isEmpty()) return Language::English;
    const QString first = uiLanguages.first().toLower();
    return first == QLatin1String("zh") || first.startsWith(QLatin1String("zh-")) ||
                   first.startsWith(QLatin1String("zh_"))
               ? Language::Chinese
               : Language::English;
}

Language desktopLanguage() {
    return pickLanguage(kivo::settingString(kKeyLanguage, QString(), false),
                        QLocale::system().uiLanguages());
}

bool useLanguage(Language language) {
    QTranslator& t = translator();
    QCoreApplication::removeTranslator(&t);
    current() = Language::Chinese;
    if (language == Language::Chinese) return true;
    if (!t.load(QStringLiteral(":/i18n/kivocam_en.qm")) ||
        !QCoreApplication::installTranslator(&t)) {
        LOGW("the English texts could not be loaded; the interface stays Chinese");
        return false;
    }
    current() = Language::English;
    return true;
}

Language currentLanguage() {
    return current();
}

QString languageCode(Language language) {
    return language == Language::English ? QStringLiteral("en") : QStringLiteral("zh");
}

QString helpPagePath() {
    return current() == Language::English ? QStringLiteral(":/help/help_en.html")
                                          : QStringLiteral(":/help/help.html");
}

}  // namespace ui
