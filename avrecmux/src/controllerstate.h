// The private state behind AVMuxerController, shared by its copies and its worker thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "avrecmux/avmuxer.h"
#include "avrecmux/avmuxercontroller.h"
#include "kivobridge/pool.h"

namespace kivo {
namespace muxer {

struct AVMuxerController::ControllerState {
    std::atomic<int> refs{1};             // controller copies sharing this state
    std::unique_ptr<AVMuxer> muxer;       // null when not started
    std::unique_ptr<std::thread> worker;  // null when none is running
    std::atomic<bool> abort{false};       // set by stop(), read by the worker on each pass
    std::atomic<bool> muxer_open{false};  // the muxer's start succeeded
    std::atomic<bool> failed{false};      // the file could not be written; the worker has ended
    bool threaded = true;
    bool video_enabled = true;
    int frame_rate = 25;
    pp::Abstract_PacketPool* video_queue = nullptr;
    pp::Abstract_PacketPool* audio_queue = nullptr;
    std::atomic<int64_t> start_time{-1};  // microseconds; -1 until the first write
    std::mutex direct_lock;               // guards muxer calls from writers in direct mode
};

}  // namespace muxer
}  // namespace kivo
