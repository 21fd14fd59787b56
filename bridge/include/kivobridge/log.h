// Log macros producing the program's line format:
//   "%s[E][bg] %6s %-4d: \"message\"\n"  (time "%m%d-%H:%M:%S", function fitted to 6, line)
// Usable from any thread; skipped while the bridge is down or the level is too low.
#pragma once

#include "kivobridge/bridge.h"

#define KIVO_LOG_AT(lvl, letter, fmt, ...)                                                       \
    do {                                                                                         \
        ::bg::Interface* kivo_cd_ = ::bg::CD;                                                    \
        if (kivo_cd_ && kivo_cd_->logger()->level() >= (lvl)) {                                  \
            kivo_cd_->logger()->write((lvl), "bg", "%s[" letter "][bg] %6s %-4d: \"" fmt "\"\n", \
                                      kivo_cd_->utility()->now("%m%d-%H:%M:%S").c_str(),         \
                                      kivo_cd_->utility()->shortName(__FUNCTION__, 6).c_str(),   \
                                      __LINE__, ##__VA_ARGS__);                                  \
        }                                                                                        \
    } while (0)

#define LOGE(fmt, ...) KIVO_LOG_AT(::bg::kLogError, "E", fmt, ##__VA_ARGS__)
#define LOGW(fmt, ...) KIVO_LOG_AT(::bg::kLogWarning, "W", fmt, ##__VA_ARGS__)
#define LOGI(fmt, ...) KIVO_LOG_AT(::bg::kLogInfo, "I", fmt, ##__VA_ARGS__)
#define LOGD(fmt, ...) KIVO_LOG_AT(::bg::kLogDebug, "D", fmt, ##__VA_ARGS__)
