#include "ui/skin.h"

#include <QFont>
#include <QStringList>
#include <QtGlobal>

// Outside any namespace: Q_INIT_RESOURCE declares the registration function at its own scope.
static void registerSkinResources() {
    Q_INIT_RESOURCE(kivo_resources);
}

namespace ui {

void initSkin() {
    static bool done = false;
    if (done) return;
    done = true;
    // The resources live in a static library, so nothing registers them before this call.
    registerSkinResources();
    // The sheets name the Windows UI font; Debian's CJK fonts stand in for it, the first
    // installed one wins, so every Chinese text gets real glyphs instead of boxes.
    QFont::insertSubstitutions(
        QStringLiteral("Microsoft YaHei"),
        {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
         QStringLiteral("Noto Sans CJK"), QStringLiteral("WenQuanYi Zen Hei"),
         QStringLiteral("Droid Sans Fallback")});
}

}  // namespace ui
