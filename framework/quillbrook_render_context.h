#pragma once

#include <cstddef>
#include <cstdint>

// The services every filter uses while rendering. Result codes are the host's: filters get
// them from the host object's noError() / outOfMemoryError() / abortError(), never as literals.
class QuillbrookRenderContext {
public:
    // A work item callback: (object, item index, item count, thread slot) -> result code.
    using ParallelCallback = int32_t (*)(void* object, int32_t item, int32_t item_count,
                                         int32_t thread_index);

    virtual ~QuillbrookRenderContext() = default;

    // Called often and from any thread; anything but no-error means stop and pass it back.
    virtual int32_t progress(int32_t current, int32_t total) = 0;
    // A block of at least `bytes` bytes (16-byte aligned), or null when memory is exhausted.
    virtual void* allocate(size_t bytes) = 0;
    // Gives back a block from allocate(); null is ignored.
    virtual void release(void* block) = 0;
    // Threads to use, never more than `maximum` when it is positive; always 1 .. 64.
    virtual int32_t threadCount(int32_t maximum) = 0;
    // Runs items 0 .. count-1 on the thread pool; the calling thread works as slot 0.
    virtual int32_t runParallel(int32_t count, void* object, ParallelCallback callback) = 0;
    virtual double currentFrame() = 0;

    // runParallel on a member function: runParallelOn<&Filter::process>(count, this).
    template <auto Method, class T>
    int32_t runParallelOn(int32_t count, T* object) {
        return runParallel(
            count, object,
            [](void* o, int32_t item, int32_t item_count, int32_t thread) -> int32_t {
                return (static_cast<T*>(o)->*Method)(item, item_count, thread);
            });
    }
};
