// Finds texts a person could not read whole: a label, check box, radio button or push button
// whose text needs more room than the widget has. Labels that wrap are measured at their width.
// Thread rules: GUI thread only; the window must be laid out (shown).
#pragma once

#include <QStringList>

class QWidget;

namespace gallery {

// One line per clipped text: "objectName: text (needs WxH, has WxH)".
QStringList clippedTexts(const QWidget* window);

}  // namespace gallery
