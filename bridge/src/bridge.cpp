#include <cstdlib>
#include <memory>

#include "appinfo.h"
#include "globals.h"
#include "kivobridge/bridge.h"
#include "logger.h"
#include "settings.h"
#include "signalbus.h"
#include "utility.h"

namespace bg {

Interface* CD = nullptr;

namespace {

class Bridge : public Interface {
public:
    Bridge()
        : logger_(FileLogger::parseLevel(std::getenv("KIVOCAM_LOG_LEVEL")),
                  FileLogger::defaultFilePath()),
          settings_(JsonSettings::defaultFilePath()) {}

    Logger* logger() override { return &logger_; }
    Utility* utility() override { return &utility_; }
    Settings* settings() override { return &settings_; }
    AppInfo* appInfo() override { return &appInfo_; }
    GlobalValues* globals() override { return &globals_; }
    SignalBus* signalBus() override { return &signalBus_; }

private:
    FileLogger logger_;
    SystemUtility utility_;
    JsonSettings settings_;
    AppInfoStore appInfo_;
    GlobalStore globals_;
    PatternSignalBus signalBus_;
};

// Also torn down at exit when UninitBridge was never called, clearing CD before anything goes.
struct BridgeHolder {
    ~BridgeHolder() { reset(); }
    void reset() {
        CD = nullptr;
        bridge.reset();
    }
    std::unique_ptr<Bridge> bridge;
};

BridgeHolder gHolder;

}  // namespace

void InitBridge(int /*argc*/, char** /*argv*/) {
    if (gHolder.bridge) return;
    gHolder.bridge = std::make_unique<Bridge>();
    CD = gHolder.bridge.get();
    // Read after CD is set, so a damaged store is reported through the logger.
    CD->settings()->reload();
}

void UninitBridge() {
    // CD is cleared first: log calls made from here on are skipped instead of reaching freed
    // objects.
    gHolder.reset();
}

}  // namespace bg
