// The buffer store shared by both pool kinds: nodes recycled by size class, a byte cap, and the
// release rules of a node's reference count.
// Thread rules: every method from any thread; all state is guarded by mutex_.
// Size classes are powers of two with four steps between them (64, 80, 96, 112, 128, 160, ...),
// so a buffer is never more than 25% larger than asked for. Free nodes are kept on intrusive
// lists, so recycling never touches the heap. A free node unused for idleTrimMs is freed (looked
// at, at most once a second, on require and release).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "kivobridge/pool.h"

namespace pp {

class NodeStore {
public:
    NodeStore(const char* kind, const char* name, size_t maxBytes, int idleTrimMs);
    ~NodeStore();  // frees the cached nodes; nodes still out are the owner's concern
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;

    // A node with ref 1, user null, size = size, owned by owner; null when closed, size is 0 or
    // the cap would be exceeded even after dropping every cached buffer.
    FLMemNode* require(size_t size, Abstract_Pool* owner);

    enum class Released { Kept, Freed, LastOfClosed };
    // Applies the reference rules. LastOfClosed: the store is closed and this was the last node
    // out, so the owner may now be deleted.
    Released release(FLMemNode* node);

    // Stops handing out nodes and frees the cached ones. True when no node is out any more.
    bool close();

    size_t heldBytes() const;
    size_t cachedBytes() const;
    // Frees every cached node.
    void trim();
    size_t maxBytes() const { return maxBytes_; }
    const std::string& name() const { return name_; }

    // Capacity of the size class a request falls in (0 when it has none).
    static size_t classCapacity(size_t size);

private:
    struct Node;
    static constexpr size_t kMinShift = 6;  // smallest class: 64 bytes
    static constexpr size_t kClasses = (sizeof(size_t) * 8 - kMinShift) * 4;
    static size_t classIndex(size_t size);

    void dropCachedLocked(size_t need);  // frees cached nodes, largest first, until need fits
    void freeNodeLocked(Node* n);        // a cached node, already unlinked
    // Frees the nodes cached before now - idle_, at most once per second.
    void trimIdleLocked(std::chrono::steady_clock::time_point now);

    const std::string name_;
    const size_t maxBytes_;
    const std::chrono::steady_clock::duration idle_;
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point nextTrim_{};
    std::array<Node*, kClasses> free_{};  // singly linked through Node::nextFree
    size_t held_ = 0;                     // capacity of every node alive (out and cached)
    size_t cached_ = 0;                   // capacity of the cached nodes
    size_t out_ = 0;                      // nodes handed out and not yet back
    bool closed_ = false;
    bool warnedFull_ = false;
};

}  // namespace pp
