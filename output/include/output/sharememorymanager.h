// Writing side of the virtual camera: keeps the newest camera-sized picture in a staging buffer
// and a writer thread copies each new one into the shared block as soon as it is staged (newest
// picture wins; setFrame overwrites, never queues). When no new picture has come for 100 ms the
// writer rewrites the last one every 30 ms, so a consumer that opens the camera late gets it.
// Thread rules: setFrame from any thread (the program calls it on the decoding thread, so the
// camera never waits for the window's paint); every other public call from the controlling (GUI)
// thread; run() is the writer thread.
// mutex_ guards staging_, its sizes, generation_ and stagedTimeUs_; blockMutex_ guards memory_. The
// writer never holds mutex_ while it waits for the block's named lock, so a camera reader that
// keeps the lock cannot stall setFrame. The writer holds at most one of the two at a time. Standard
// mutexes, not QMutex, so the thread checker sees these hand-offs.
#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "mirror/videoframe.h"
#include "output/namedsharedmemory.h"

class ShareMemoryManager : public QThread {
public:
    static constexpr unsigned long kRefreshMs = 30;
    // Longer than a phone's frame interval: a steady stream never triggers a rewrite.
    static constexpr unsigned long kIdleMs = 100;

    // The process-wide instance, created on first use and destroyed at process exit.
    static ShareMemoryManager* instance();

    // Public so tests can have instances of their own; the program uses instance().
    ShareMemoryManager();
    ~ShareMemoryManager() override;

    // Creates the block (base name from camerablock::baseName()) and the zeroed staging buffer.
    // A block that cannot be created leaves the manager without one: it then writes nothing.
    void createMemory(uint32_t size);
    // Writes a 0 x 0 header to the block, retrying until it is written (a reader that died
    // holding the lock delays it by up to NamedSharedMemory::kAbandonedLockMs); the picture
    // bytes behind it stay.
    void clearFrame();
    // Stages a picture that is 1280 x 720 or 720 x 1280 once its width is rounded down to a
    // multiple of 8 (any strides), with its header; other sizes are dropped, as is anything
    // before createMemory.
    void setFrame(I420FramePtr frame);
    // Starts the writer thread unless it is already running.
    void startWrite();
    // Ends the writer thread and leaves a 0 x 0 header in the block (written as clearFrame
    // does) and in the staging buffer, so a later startWrite shows "no picture" until the next
    // setFrame.
    void stopWrite();
    // Closes the block; the staging buffer stays for a later createMemory.
    void releaseMemory();

    bool hasMemory();

protected:
    void run() override;

private:
    void writeEmptyHeaderLocked();

    // Held by run() for all of its run. Whoever waited for the thread takes it once, so a race
    // checker sees run()'s writes end before the waiter goes on (it cannot see QThread::wait).
    std::mutex runLock_;
    std::mutex mutex_;
    std::unique_ptr<uint8_t[]> staging_;
    uint32_t size_ = 0;
    uint32_t stagingSize_ = 0;
    uint64_t generation_ = 0;       // counts staged pictures, so the writer copies only new ones
    int64_t stagedTimeUs_ = 0;      // when the staged picture left the decoder
    std::condition_variable wake_;  // with mutex_: a new picture, or stop

    std::mutex blockMutex_;
    std::unique_ptr<NamedSharedMemory> memory_;

    std::unique_ptr<uint8_t[]> outgoing_;  // writer thread only: the copy it writes to the block
    uint32_t outgoingSize_ = 0;

    std::atomic<bool> stop_{false};
};
