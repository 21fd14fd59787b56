// Feeds bytes to the settings store's reader as if they were the file found at start: it must
// either refuse the whole text (the store then keeps the file aside) or sort every member into
// a text value or a skipped one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "settingstext.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> values;
    std::vector<std::string> skipped;
    std::string reason;
    if (!bg::parseSettingsText(text, &values, &skipped, &reason)) {
        check(!reason.empty() && values.empty() && skipped.empty());
        return 0;
    }
    for (const std::string& key : skipped) check(values.count(key) == 0);
    return 0;
}
