#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "rectangle.h"
#include "quillbrook_host.h"

// A host for filter tests: a fixed thread count, every progress report recorded, and an
// optional cancel that answers abortError() to every report after the first `abort_after`.
class RecordingHost : public QuillbrookHost {
public:
    explicit RecordingHost(int32_t threads = 1)
        : QuillbrookHost("test host", "test", "filter tests", 1, 0, 0), threads_(threads) {}

    int32_t threadCount(int32_t maximum) override {
        return maximum > 0 ? std::min(threads_, maximum) : threads_;
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

    // Reports after the first `n` answer abortError().
    void abortAfter(int32_t n) {
        std::lock_guard<std::mutex> guard(lock_);
        abort_after_ = n;
    }
    // Every report from now on answers abortError().
    void cancel() { cancelled_.store(true); }
    bool cancelled() const { return cancelled_.load(); }

    std::vector<std::pair<int32_t, int32_t>> reports() {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }

private:
    int32_t threads_;
    std::mutex lock_;
    std::vector<std::pair<int32_t, int32_t>> reports_;
    int64_t abort_after_ = -1;
    std::atomic<bool> cancelled_{false};
};
