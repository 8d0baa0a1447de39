#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

#include "rectangle.h"  // complete before the host header, whose hooks take it by value
#include "quillbrook_host.h"

// A host for filter tests: a chosen thread count (1 runs every item in order on the calling
// thread), progress calls counted, a cancel after the first `n` reports, an allocation failure
// on request, and the blocks still allocated, so a test can prove that nothing leaks.
class CountingHost : public QuillbrookHost {
public:
    explicit CountingHost(int32_t threads = 1)
        : QuillbrookHost("test host", "test", "filter tests", 1, 0, 0), threads_(threads) {}

    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
    }

    int32_t runParallel(int32_t count, void* object, ParallelCallback callback) override {
        ++parallel_runs_;
        if (threads_ > 1) return QuillbrookHost::runParallel(count, object, callback);
        for (int32_t item = 0; item < count; ++item) {
            const int32_t result = callback(object, item, count, 0);
            if (result != noError()) return result;
        }
        return noError();
    }

    int32_t progress(int32_t current, int32_t total) override {
        const int64_t n = ++reports_;
        if (current < 0 || current >= total) bad_reports_.fetch_add(1);
        if (abort_after_ >= 0 && n > abort_after_) return abortError();
        return noError();
    }

    void* allocate(size_t bytes) override {
        if (fail_allocation_) return nullptr;
        void* block = QuillbrookHost::allocate(bytes);
        std::lock_guard<std::mutex> guard(lock_);
        live_.insert(block);
        return block;
    }

    void release(void* block) override {
        if (block == nullptr) return;
        {
            std::lock_guard<std::mutex> guard(lock_);
            live_.erase(block);
        }
        QuillbrookHost::release(block);
    }

    // Reports after the first `n` answer abortError().
    void abortAfter(int64_t n) { abort_after_ = n; }
    void failAllocation() { fail_allocation_ = true; }

    int64_t reports() const { return reports_.load(); }
    // Reports whose current value was not in 0 .. total - 1.
    int64_t badReports() const { return bad_reports_.load(); }
    int32_t parallelRuns() const { return parallel_runs_; }
    size_t liveBlocks() {
        std::lock_guard<std::mutex> guard(lock_);
        return live_.size();
    }

private:
    int32_t threads_;
    std::atomic<int64_t> reports_{0};
    std::atomic<int64_t> bad_reports_{0};
    std::atomic<int64_t> abort_after_{-1};
    bool fail_allocation_ = false;
    int32_t parallel_runs_ = 0;
    std::mutex lock_;
    std::set<void*> live_;
};
