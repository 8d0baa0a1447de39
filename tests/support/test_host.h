#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "framework/rectangle.h"  // complete before the host header, whose hooks take it by value
#include "framework/quillbrook_host.h"

// The host for filter tests: the real thread pool with a chosen thread count (1 runs every
// item in order on the calling thread), every progress report recorded, a cancel on request
// or after the first `n` reports, allocations that fail after the first `n` or above a size,
// and the blocks asked for, given back and still allocated, so a test can prove that nothing
// leaks.
class TestHost : public QuillbrookHost {
public:
    explicit TestHost(int32_t threads = 1)
        : QuillbrookHost("test host", "test", "filter tests", 1, 0, 0), threads_(threads) {}

    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
    }

    int32_t runParallel(int32_t count, void* object, ParallelCallback callback) override {
        parallel_runs_.fetch_add(1);
        return QuillbrookHost::runParallel(count, object, callback);
    }

    int32_t progress(int32_t current, int32_t total) override {
        std::lock_guard<std::mutex> guard(lock_);
        reports_.emplace_back(current, total);
        if (cancelled_.load()) return abortError();
        if (abort_after_ >= 0 && int64_t(reports_.size()) > abort_after_) {
            cancelled_.store(true);
            return abortError();
        }
        return noError();
    }

    void* allocate(size_t bytes) override {
        std::lock_guard<std::mutex> guard(lock_);
        ++allocations_;
        if (fail_after_ >= 0 && allocations_ > fail_after_) return nullptr;
        if (largest_block_ != 0 && bytes > largest_block_) return nullptr;
        void* block = QuillbrookHost::allocate(bytes);
        if (block != nullptr) live_.insert(block);
        return block;
    }

    void release(void* block) override {
        if (block == nullptr) return;
        {
            std::lock_guard<std::mutex> guard(lock_);
            ++releases_;
            live_.erase(block);
        }
        QuillbrookHost::release(block);
    }

    // Reports after the first `n` answer abortError().
    void abortAfter(int64_t n) {
        std::lock_guard<std::mutex> guard(lock_);
        abort_after_ = n;
    }
    // Every report from now on answers abortError().
    void cancel() { cancelled_.store(true); }
    bool cancelled() const { return cancelled_.load(); }

    // Allocation requests after the next `n` fail (requests refused for their size count too).
    void failAllocationsAfter(int64_t n) {
        std::lock_guard<std::mutex> guard(lock_);
        fail_after_ = allocations_ + n;
    }
    // Every allocation from now on fails.
    void failAllocation() { failAllocationsAfter(0); }
    // Requests for more than `bytes` bytes fail (0: none do).
    void failBlocksAbove(size_t bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        largest_block_ = bytes;
    }

    // Every (current, total) reported so far, in the order the reports arrived.
    std::vector<std::pair<int32_t, int32_t>> reports() {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }
    int64_t reportCount() {
        std::lock_guard<std::mutex> guard(lock_);
        return int64_t(reports_.size());
    }
    // Reports whose current value was not in 0 .. total - 1, the items still to come.
    int64_t badReports() {
        return countReports([](int32_t c, int32_t t) { return c < 0 || c >= t; });
    }
    // Reports whose current value lay outside 0 .. total (total itself meaning done).
    int64_t reportsBeyondTotal() {
        return countReports([](int32_t c, int32_t t) { return c < 0 || c > t; });
    }

    int32_t parallelRuns() const { return parallel_runs_.load(); }
    size_t liveBlocks() {
        std::lock_guard<std::mutex> guard(lock_);
        return live_.size();
    }
    // Allocation requests, refused ones included.
    int64_t allocations() {
        std::lock_guard<std::mutex> guard(lock_);
        return allocations_;
    }
    // Blocks given back (null ones not counted).
    int64_t releases() {
        std::lock_guard<std::mutex> guard(lock_);
        return releases_;
    }

private:
    template <class Outside>
    int64_t countReports(Outside outside) {
        std::lock_guard<std::mutex> guard(lock_);
        return std::count_if(reports_.begin(), reports_.end(),
                             [&](const auto& r) { return outside(r.first, r.second); });
    }

    int32_t threads_;
    std::mutex lock_;
    std::vector<std::pair<int32_t, int32_t>> reports_;
    int64_t abort_after_ = -1;
    std::atomic<bool> cancelled_{false};
    int64_t allocations_ = 0;
    int64_t releases_ = 0;
    int64_t fail_after_ = -1;
    size_t largest_block_ = 0;
    std::atomic<int32_t> parallel_runs_{0};
    std::set<void*> live_;
};
