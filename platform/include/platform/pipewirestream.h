// A PipeWire stream that stays published for as long as the object lives: it runs its own loop
// thread, connects to the daemon (again every second while none answers) and makes the stream
// anew when the daemon goes away with the session or the stream fails. The camera and the
// microphone components each publish their node through one. The owner supplies the node's
// properties, its formats (connect), what to do on the stream's events and the texts of its log
// lines. Thread rules: construction, start() and destruction on the owner's thread, wake() from
// any thread; every callback and stream() on the loop thread, except process, which runs on the
// graph's thread when the owner connects with PW_STREAM_FLAG_RT_PROCESS.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct pw_stream;
struct spa_pod;

namespace platform {

class PipeWireStream {
public:
    struct Setup {
        std::string threadName;
        std::string name;      // the stream's name
        std::string noun;      // what the log lines call the node ("node", "source")
        std::string offering;  // the log line of the first connection
        std::vector<std::pair<std::string, std::string>> properties;
        std::function<int(pw_stream*)> connect;  // pw_stream_connect with the owner's formats
        std::function<void(bool)> streaming;     // a consumer runs it, or no longer does
        std::function<void(uint32_t, const spa_pod*)> param;  // a param changed (the format)
        std::function<void()> process;                        // buffers may be queued
        std::function<void()> dropped;                        // the stream is about to be destroyed
        std::function<void()> woken;                          // after wake()
        std::function<void(const std::string&)> say;
    };

    explicit PipeWireStream(Setup setup);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Starts the loop thread and the first connection. False only when PipeWire itself cannot be
    // set up.
    bool start();
    // Runs woken on the loop thread soon; returns at once.
    void wake();
    // Null while there is no daemon.
    pw_stream* stream() const;

    struct Loop;  // the PipeWire objects, loop thread only

private:
    std::unique_ptr<Loop> loop_;
};

}  // namespace platform
