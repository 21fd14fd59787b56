// The camera as a PipeWire video source node ("Video/Source", role "Camera"), for browsers, call
// programs and OBS on desktops where PipeWire runs. It offers fixed sizes only (1280x720 and
// 720x1280, I420 or YUY2, 30 fps): a consumer keeps the size it chose for its whole run, and a
// picture of the other shape is fitted into it between black bars. The node lives as long as the
// object; when the daemon goes away (a session restart) it comes back once the daemon does.
// Thread rules: construction, start(), submit*() and destruction on one thread (the component's
// main loop); everything PipeWire runs on the camera's own loop thread. mutex_ guards the
// mailbox (pending_ and its fields): the newest submitted picture overwrites an unsent one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "letterbox.h"

namespace vcam {

class PipeWireCamera {
public:
    using Say = std::function<void(const std::string&)>;
    static constexpr const char* kNodeName = "KivoCam";
    static constexpr const char* kNodeDescription = "KivoCam Virtual Camera";
    static constexpr int kFps = 30;

    explicit PipeWireCamera(Say say);
    ~PipeWireCamera();
    PipeWireCamera(const PipeWireCamera&) = delete;
    PipeWireCamera& operator=(const PipeWireCamera&) = delete;

    // Starts the loop thread and connects; keeps retrying every second while no daemon answers.
    // False only when PipeWire itself cannot be set up.
    bool start();

    // The next picture for the consumer (any size; copied). Returns at once.
    void submitPicture(const I420View& picture);
    // The placeholder in the consumer's own size, for while no phone streams.
    void submitPlaceholder();

    struct Loop;  // the PipeWire objects, loop thread only

private:
    friend struct Loop;
    void submit(const I420View* picture);

    std::unique_ptr<Loop> loop_;

    std::mutex mutex_;
    std::vector<uint8_t> pending_;  // tight I420 of pendingWidth_ x pendingHeight_
    int pendingWidth_ = 0;
    int pendingHeight_ = 0;
    bool pendingPlaceholder_ = true;
    bool fresh_ = false;  // not handed to the consumer yet
};

}  // namespace vcam
