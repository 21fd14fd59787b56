// The decoding thread of one phone: a queue of compressed packets, merged with the codec
// configuration that precedes them, parsed for key frames and handed to the decoder.
// Thread rules: queuePacket() from any thread; attachDecoder(), startDecoding(), stopDecoding()
// and destruction on the owner's thread; onStreamStop is emitted on the decoding thread.
#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>

#include "mirror/avhandles.h"

namespace mirror {

class Decoder;

class Stream : public QThread {
    Q_OBJECT
public:
    // What the queue may hold, each packet charged its payload plus kPacketOverheadBytes; a
    // producer that outruns the decoder by more loses packets rather than the process's memory.
    static constexpr size_t kMaxQueuedBytes = 64u << 20;
    // Heap a queued packet costs beyond its payload: the AVPacket, its buffer reference and
    // padding, the list node and the allocator's headers. A flood of tiny packets is bounded
    // by this, not by its payload bytes.
    static constexpr size_t kPacketOverheadBytes = 512;
    // Configuration bytes kept while waiting for a picture (parameter sets are a few hundred).
    static constexpr int kMaxPendingBytes = 1 << 20;

    explicit Stream(QObject* parent = nullptr);
    ~Stream() override;

    void attachDecoder(Decoder* decoder);
    bool startDecoding();
    // Releases the decoder, discards the queued packets and joins the thread, which ends after
    // the packet it is decoding (if any). Logs how many packets a full queue refused.
    void stopDecoding();
    // Takes ownership of the packet. A packet with pts AV_NOPTS_VALUE is configuration data.
    // False (packet freed) when the queue is over its byte bound or the packet is null.
    bool queuePacket(AVPacket* packet);

signals:
    void onStreamStop();

protected:
    void run() override;

private:
    bool takePacket(AVPacket* out);
    bool processPacket(AVPacket* packet);
    bool parseAndDecode(AVPacket* packet);

    Decoder* decoder_ = nullptr;
    // Owned by run() for its duration.
    AvCodecContextPtr parserContext_;
    AvParserPtr parser_;
    bool hasPending_ = false;
    AvPacketPtr pending_;

    // Bytes a queued packet is charged.
    static size_t costOf(const AVPacket* packet);

    // Held by run() for all of its run. Whoever waited for the thread takes it once, so a race
    // checker sees run()'s writes end before the waiter goes on (it cannot see QThread::wait).
    std::mutex runLock_;
    std::mutex queueMutex_;  // guards queue_, queuedBytes_ and droppedPackets_
    std::condition_variable queueCondition_;
    std::list<AvPacketPtr> queue_;
    size_t queuedBytes_ = 0;
    size_t droppedPackets_ = 0;  // refused for a full queue
    std::atomic<char> stop_{0};
};

}  // namespace mirror
