// The language the interface speaks. The texts in the code and forms are Chinese; English comes
// from the catalogue built into the program. Chinese for Chinese locales, English for every other;
// the stored setting "cfg_language" ("zh" or "en") overrides the desktop's choice.
// Thread rules: GUI thread, before the first window is built (forms translate as they are set up).
#pragma once

#include <QString>
#include <QStringList>

namespace ui {

enum class Language { Chinese, English };

// setting: "zh", "en", or anything else to follow uiLanguages (most wanted first, as QLocale
// gives them).
Language pickLanguage(const QString& setting, const QStringList& uiLanguages);
// The stored setting and the desktop's locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG).
Language desktopLanguage();
// Installs the catalogue for the language on the application (or removes it for Chinese);
// false when the English catalogue cannot be loaded, and the interface stays Chinese.
bool useLanguage(Language language);
Language currentLanguage();
// "zh" or "en".
QString languageCode(Language language);
// The help page in the current language, as a resource path.
QString helpPagePath();

}  // namespace ui
