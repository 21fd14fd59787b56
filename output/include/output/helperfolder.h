// Where the program's private helpers (the virtual audio driver tool) live: beside the program in
// a build tree, <prefix>/lib/kivocam when installed. Any thread; needs the application object.
#pragma once

#include <QString>

QString helperFolder();
