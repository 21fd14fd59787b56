// The microphone as a plain PipeWire "Audio/Source" node ("KivoMic", 48 kHz mono S16), read
// from a JitterBuffer. The node lives as long as the object and comes back after a daemon
// restart. Thread rules: construction, start() and destruction on one thread; PipeWire runs on
// the object's own loop thread, the node's reads on the graph's thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "jitterbuffer.h"

namespace vmic {

class PipeWireMic {
public:
    using Say = std::function<void(const std::string&)>;
    static constexpr const char* kNodeName = "KivoMic";
    static constexpr const char* kNodeDescription = "Kivo Virtual Microphone";

    PipeWireMic(JitterBuffer* buffer, Say say);
    ~PipeWireMic();
    PipeWireMic(const PipeWireMic&) = delete;
    PipeWireMic& operator=(const PipeWireMic&) = delete;

    // Starts the loop thread and connects, retrying every second while no daemon answers.
    bool start();

    struct Loop;  // the PipeWire objects, loop thread only

private:
    std::unique_ptr<Loop> loop_;
};

}  // namespace vmic
