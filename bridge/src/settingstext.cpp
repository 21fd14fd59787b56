#include "settingstext.h"

#include <json/json.h>

#include <memory>

namespace bg {

bool parseSettingsText(const std::string& text, std::map<std::string, std::string>* values,
                       std::vector<std::string>* skipped, std::string* reason) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        *reason = errors;
        return false;
    }
    if (!root.isObject()) {
        *reason = "not a JSON object";
        return false;
    }
    for (const std::string& key : root.getMemberNames()) {
        const Json::Value& v = root[key];
        if (v.isString() || v.isBool() || v.isNumeric()) {
            (*values)[key] = v.asString();
        } else {
            skipped->push_back(key);
        }
    }
    return true;
}

}  // namespace bg
