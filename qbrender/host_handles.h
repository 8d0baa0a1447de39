#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "AE_Effect.h"

// The host's memory handles. A handle points at the block's data pointer, so that *handle
// gives the memory as the host's handles do; the memory is 16-byte aligned and stays where it
// is for the handle's life. Every call may come from any thread.
//
// Misuse (an unknown or already disposed handle, unlocking an unlocked handle) is not a crash:
// the call does nothing and a fault line is kept for the caller to report.
//
// The memory of all live handles together is held below a limit: Linux overcommits, so a block
// far larger than the machine's memory is "allocated" and the process is killed once the effect
// touches it. Refusing such a block instead lets the effect report out-of-memory.
//
// Disposed memory goes into a pool, as a host's cache keeps it, and an allocation of the same
// size takes it back: an effect that asks for the same buffers every frame then touches pages
// that are already mapped, instead of paying a page fault per 4 KiB of every buffer of every
// frame. The pool never makes the handles hold more than the limit: pooled blocks are freed
// before fresh memory would pass it. Reused memory keeps what was last written to it, as a
// host's does (fresh memory is not zeroed either).
class HandleTable {
public:
    // The limit starts at machineHandleMemory().
    HandleTable();
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;
    ~HandleTable();

    // Null when memory is refused (see failFrom).
    PF_Handle allocate(uint64_t bytes);
    void* lock(PF_Handle handle);
    void unlock(PF_Handle handle);
    void dispose(PF_Handle handle);
    uint64_t size(PF_Handle handle);
    // Keeps the contents up to the smaller size; the handle value stays, the memory may move.
    PF_Err resize(uint64_t bytes, PF_Handle* handle);

    bool contains(PF_Handle handle) const;
    size_t liveCount() const;
    // Allocations made so far (successful or refused).
    uint64_t allocationCount() const;
    // Allocations and resizes that needed fresh memory from the system (not from the pool).
    uint64_t freshAllocationCount() const;
    // Bytes of disposed memory kept for reuse.
    uint64_t pooledBytes() const;
    // Marks the end of a frame and frees the pooled blocks that no allocation took in the last
    // kPoolFrames frames, so the pool holds what recent frames used and no more. More than one
    // frame, so that a frame that failed or was cancelled early (and so took few blocks) does
    // not throw away what the frames around it reuse.
    void trimPool();
    static constexpr uint64_t kPoolFrames = 2;
    // Frees every pooled block.
    void releasePool();
    // Makes the n-th allocation from now on (1 = the next) and every later one fail; 0 turns
    // failures off. For testing how effects cope with memory exhaustion.
    void failFrom(uint64_t n);
    // Bytes all live handles may hold together; 0 means no limit.
    void setLimit(uint64_t bytes);
    uint64_t limit() const;
    // Bytes of the live handles.
    uint64_t liveBytes() const;
    // Why the last allocation or resize over the limit was refused (empty when none was), e.g.
    // "asked for 9000 MB with 12000 MB in use, over the plug-in memory limit of 20000 MB".
    std::string lastRefusal() const;
    // Disposes every live handle but `keep` and returns how many it disposed.
    size_t disposeAll(PF_Handle keep = nullptr);
    // Fault lines gathered since the last call, which clears them.
    std::vector<std::string> takeFaults();

private:
    struct Block {
        void* data;  // must stay the first member: a handle points here
        uint64_t size;
        int32_t locks;
    };

    struct Pooled {
        void* memory;
        uint64_t frame;  // trimPool calls before it was given back
    };

    Block* find(PF_Handle handle, const char* operation);
    // False (and the refusal noted) when `bytes` more would pass the limit.
    bool withinLimit(uint64_t bytes);
    // Memory of `bytes` from the pool, else fresh (after freeing pooled blocks, largest first,
    // while live, pooled and new bytes together would pass the limit); null when the system
    // has none.
    void* takeMemory(uint64_t bytes);
    void giveMemory(void* memory, uint64_t bytes);
    void freePooled(std::vector<Pooled>& blocks, uint64_t bytes, size_t count);
    static void* newMemory(uint64_t bytes);
    static void freeMemory(void* memory);

    mutable std::mutex lock_;
    std::unordered_map<Block*, std::unique_ptr<Block>> blocks_;
    uint64_t allocations_ = 0;
    uint64_t fail_at_ = 0;
    uint64_t limit_ = 0;
    uint64_t live_bytes_ = 0;
    uint64_t fresh_allocations_ = 0;
    // Disposed blocks by size, the most recently given back last.
    std::map<uint64_t, std::vector<Pooled>> pool_;
    uint64_t pooled_bytes_ = 0;
    uint64_t frame_ = 0;  // trimPool calls so far
    std::string last_refusal_;
    std::vector<std::string> faults_;
};

// Memory the effects may take through handles by default, in bytes: the smaller of the memory
// the kernel reports available (MemAvailable in /proc/meminfo) and what the process's control
// group still allows, less a reserve for the host's own images and the process (an eighth, at
// least 256 MB). 0 when neither can be read (no limit).
uint64_t machineHandleMemory();
