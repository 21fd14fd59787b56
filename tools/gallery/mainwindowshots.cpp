#include "gallery.h"

namespace gallery {

// The main window's pages and the bottom bar's pop-ups register here.
void addMainWindowShots() {}

}  // namespace gallery
