// kivobridge: the services both deliverables share (logger, utility, settings store, application
// information, global values, signal bus). Plain C++17, no Qt.
// Thread rules: InitBridge/UninitBridge on the main thread only; every service behind CD may be
// called from any thread once InitBridge has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#if defined(KIVOBRIDGE_BUILD)
#define KIVOBRIDGE_API __attribute__((visibility("default")))
#else
#define KIVOBRIDGE_API
#endif

namespace bg {

class Value;
using ValueMap = std::map<std::string, Value>;

// A small variant: empty, text, boolean or a map of named values.
class KIVOBRIDGE_API Value {
public:
    enum class Type { Empty, Text, Bool, Map };

    Value() = default;
    Value(const char* text);  // NOLINT: built from literals on purpose
    Value(std::string text);  // NOLINT
    Value(bool b);            // NOLINT
    Value(ValueMap map);      // NOLINT

    Type type() const { return type_; }
    bool isEmpty() const { return type_ == Type::Empty; }
    // Conversions never fail: a value of another type yields the given fallback.
    std::string toString(const std::string& fallback = std::string()) const;
    bool toBool(bool fallback = false) const;
    const ValueMap& toMap() const;

    bool operator==(const Value& o) const;
    bool operator!=(const Value& o) const { return !(*this == o); }

private:
    Type type_ = Type::Empty;
    std::string text_;
    bool bool_ = false;
    std::shared_ptr<const ValueMap> map_;
};

// Log levels: a line is written only when level() >= its level.
enum LogLevel { kLogError = 2, kLogWarning = 3, kLogInfo = 4, kLogDebug = 5 };

class KIVOBRIDGE_API Logger {
public:
    virtual ~Logger() = default;
    virtual int level() const = 0;
    virtual void setLevel(int level) = 0;
    // printf-style; the whole formatted line is written at once, so lines never interleave.
    virtual void write(int level, const char* tag, const char* format, ...)
        __attribute__((format(printf, 4, 5))) = 0;
    // Path of the log file ("" when none could be opened).
    virtual std::string filePath() const = 0;
};

class KIVOBRIDGE_API Utility {
public:
    virtual ~Utility() = default;
    // Local time formatted with strftime.
    virtual std::string now(const char* format) const = 0;
    // A function name fitted to width characters (cut from the left end when too long).
    virtual std::string shortName(const char* function, int width) const = 0;
    // Monotonic clock in microseconds.
    virtual int64_t clock() const = 0;
    // Shows the folder of a UTF-8 file path in the desktop's file manager; detached, returns at
    // once. False when no file manager could be started.
    virtual bool openLocation(const char* path) const = 0;
};

// Persistent text values, stored as one JSON object in $XDG_CONFIG_HOME/KivoCam/settings.json.
class KIVOBRIDGE_API Settings {
public:
    virtual ~Settings() = default;
    virtual bool get(const char* key, std::string& out) const = 0;
    virtual void set(const char* key, const char* text) = 0;
    // Writes the store atomically; false (with a log line) when it could not be written.
    virtual bool save() = 0;
    // Drops the in-memory values and reads the file again (used after another process wrote it).
    virtual void reload() = 0;
    virtual std::string filePath() const = 0;
};

class KIVOBRIDGE_API AppInfo {
public:
    virtual ~AppInfo() = default;
    virtual void setName(const char* name) = 0;
    virtual void setVersion(const char* version) = 0;
    virtual void setBuildDate(const char* date) = 0;
    virtual void setWebAddress(const char* address) = 0;
    virtual std::string name() const = 0;
    virtual std::string version() const = 0;
    virtual std::string buildDate() const = 0;
    virtual std::string webAddress() const = 0;
};

class KIVOBRIDGE_API GlobalValues {
public:
    virtual ~GlobalValues() = default;
    virtual void set(const char* key, const Value& value) = 0;
    virtual Value get(const char* key, const Value& fallback = Value()) const = 0;
};

// Qt defines `emit` as an empty macro; it is set aside here so this header compiles after Qt's.
#pragma push_macro("emit")
#undef emit

// Named signals. A pattern is an exact name or a prefix followed by "*" ("mainWindows.*").
// Callbacks run on the emitting thread, outside the bus's lock.
class KIVOBRIDGE_API SignalBus {
public:
    using Callback = std::function<void(const std::string& name, const Value& value)>;
    virtual ~SignalBus() = default;
    virtual void emit(const char* name, const Value& value) = 0;
    // emit() under a name Qt's macro leaves alone, for files that include Qt headers.
    void publish(const char* name, const Value& value) { emit(name, value); }
    // Returns an id for unsubscribe (never 0).
    virtual uint64_t subscribe(const char* pattern, Callback callback) = 0;
    virtual void unsubscribe(uint64_t id) = 0;
};

#pragma pop_macro("emit")

class KIVOBRIDGE_API Interface {
public:
    virtual ~Interface() = default;
    virtual Logger* logger() = 0;
    virtual Utility* utility() = 0;
    virtual Settings* settings() = 0;
    virtual AppInfo* appInfo() = 0;
    virtual GlobalValues* globals() = 0;
    virtual SignalBus* signalBus() = 0;
};

// Null until InitBridge, null again after UninitBridge.
extern KIVOBRIDGE_API Interface* CD;

// Brings the bridge up (idempotent). Reads KIVOCAM_LOG_LEVEL, opens the log file and the settings
// store under the XDG folders of the environment at this moment.
KIVOBRIDGE_API void InitBridge(int argc, char** argv);
KIVOBRIDGE_API void UninitBridge();

}  // namespace bg
