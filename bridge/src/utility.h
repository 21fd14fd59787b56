// The helpers behind CD->utility(): local time text, short function names, the monotonic clock
// and showing a folder to the user. Thread rules: every method from any thread.
#pragma once

#include "kivobridge/bridge.h"

namespace bg {

class SystemUtility : public Utility {
public:
    std::string now(const char* format) const override;
    // Names longer than width keep their last width characters: the end is what tells
    // "on_pushButton_close_clicked" from "on_pushButton_menu_clicked".
    std::string shortName(const char* function, int width) const override;
    int64_t clock() const override;
    // Opens the folder (the path itself when it is a folder, else its parent) with xdg-open,
    // falling back to gio. Never waits for the file manager.
    bool openLocation(const char* path) const override;
};

}  // namespace bg
