// Where screenshots and recordings go: the stored save folder when files can be created in it,
// otherwise the first writable fallback (the home folder, then the temporary folder). The stored
// setting is never changed here; the caller tells the user where the file went.
// Thread rules: any thread; nothing here reads or writes the configuration store.
#pragma once

#include <QString>

namespace savefolder {

// Whether a file can be created in dir. Probes with a uniquely named temporary file that is
// removed again, so no existing file is ever opened, truncated or deleted.
bool isWritable(const QString& dir);

struct Choice {
    QString dir;            // ends with '/'; empty when no folder at all can be written
    bool fallback = false;  // dir is not the stored folder
};

// The folder for the next file, given the stored setting.
Choice choose(const QString& stored);

}  // namespace savefolder
