// The program's skin: the compiled-in style sheets, pictures and help page, and the fonts their
// texts name. GUI thread only.
#pragma once

namespace ui {

// Registers the compiled-in resources (style sheets, pictures, help page) and the font
// substitutions for "Microsoft YaHei". Call once after the QApplication exists, before any
// widget loads a style sheet. Idempotent.
void initSkin();

}  // namespace ui
