// Reading of the settings file's text, apart from the file so that every byte sequence can be
// tried against it. Pure function, any thread.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bg {

// False with a reason when the text is not one JSON object (the caller keeps such a file
// aside). Otherwise each string, bool or number member lands in *values as text and the name
// of any other member in *skipped.
bool parseSettingsText(const std::string& text, std::map<std::string, std::string>* values,
                       std::vector<std::string>* skipped, std::string* reason);

}  // namespace bg
