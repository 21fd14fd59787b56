// Keeps FFmpeg's per-packet complaints about one phone's stream to one line each: the first
// message of every kind is written as usual, repeats are only counted, and the counts are
// written once when the stream ends. Without it a phone sending junk writes a line per packet.
// Thread rules: any thread. FFmpeg's log callback is process-wide; it is installed on first use
// and passes messages of contexts nobody watches to FFmpeg's default writer.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace mirror {

class AvLogCounter {
public:
    AvLogCounter();
    // Stops watching (writing the counts) if finish() was not called.
    ~AvLogCounter();
    AvLogCounter(const AvLogCounter&) = delete;
    AvLogCounter& operator=(const AvLogCounter&) = delete;

    // Messages logged with this FFmpeg context (a codec or parser's AVCodecContext) are counted.
    void watch(const void* context);
    // Stops watching and writes one line per message kind that came more than once. Call before
    // the watched contexts are freed.
    void finish();

private:
    friend struct AvLogRegistry;
    std::vector<const void*> contexts_;
    std::map<std::string, int> counts_;  // guarded by the registry's lock
};

}  // namespace mirror
