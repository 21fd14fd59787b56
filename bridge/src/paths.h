// Where the bridge keeps its files: the XDG base folders of the environment. Any thread.
#pragma once

#include <string>

namespace bg {

// $<variable> when it is an absolute path, otherwise <home>/<fallback>; "" without a home.
std::string xdgFolder(const char* variable, const char* fallback);

// The folder part of a path ("." when there is none).
std::string folderOf(const std::string& path);

}  // namespace bg
