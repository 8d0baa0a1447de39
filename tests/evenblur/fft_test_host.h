#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

#include "rectangle.h"  // complete before the host header, whose hooks take it by value
#include "quillbrook_host.h"

// A host for the transform tests: the real thread pool with a chosen thread count, progress
// reports counted and checked against their totals, a cancel after the first `n` reports, an
// allocation that fails after the first `n`, and the blocks still allocated.
class FftTestHost : public QuillbrookHost {
public:
    explicit FftTestHost(int32_t threads = 1)
        : QuillbrookHost("fft test host", "test", "transform tests", 1, 0, 0), threads_(threads) {}

    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
    }

    int32_t progress(int32_t current, int32_t total) override {
        const int64_t n = reports_.fetch_add(1) + 1;
        if (current < 0 || current > total) bad_reports_.fetch_add(1);
        const int64_t limit = abort_after_.load();
        if (limit >= 0 && n > limit) return abortError();
        return noError();
    }

    void* allocate(size_t bytes) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (allocations_left_ == 0) return nullptr;
        if (allocations_left_ > 0) --allocations_left_;
        void* block = QuillbrookHost::allocate(bytes);
        if (block != nullptr) live_.insert(block);
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
    void abortAfter(int64_t n) { abort_after_.store(n); }
    // Allocations after the first `n` fail.
    void failAllocationsAfter(int64_t n) {
        std::lock_guard<std::mutex> guard(lock_);
        allocations_left_ = n;
    }

    int64_t reports() const { return reports_.load(); }
    // Reports whose current value lay outside 0 .. total.
    int64_t badReports() const { return bad_reports_.load(); }
    size_t liveBlocks() {
        std::lock_guard<std::mutex> guard(lock_);
        return live_.size();
    }

private:
    int32_t threads_;
    std::atomic<int64_t> reports_{0};
    std::atomic<int64_t> bad_reports_{0};
    std::atomic<int64_t> abort_after_{-1};
    std::mutex lock_;
    int64_t allocations_left_ = -1;
    std::set<void*> live_;
};
