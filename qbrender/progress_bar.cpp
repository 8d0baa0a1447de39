#include "qbrender/progress_bar.h"

#include <unistd.h>

#include <algorithm>

namespace {
constexpr int kBarWidth = 30;

bool decideDrawing(ProgressBar::Mode mode, std::FILE* stream) {
    switch (mode) {
        case ProgressBar::Mode::automatic:
            return stream && ::isatty(::fileno(stream)) == 1;
        case ProgressBar::Mode::never:
            return false;
        case ProgressBar::Mode::always:
            return stream != nullptr;
    }
    return false;
}
}  // namespace

ProgressBar::ProgressBar(Mode mode, std::FILE* stream, std::chrono::milliseconds interval)
    : drawing_(decideDrawing(mode, stream)), stream_(stream), interval_(interval) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::begin(const std::string& label) {
    std::lock_guard<std::mutex> hold(lock_);
    label_ = label;
    last_percent_ = -1;
    last_draw_ = {};
}

void ProgressBar::update(int64_t current, int64_t total) {
    if (!drawing_) {
        return;
    }
    const int64_t done = total > 0 ? std::clamp<int64_t>(current, 0, total) : 0;
    const int percent = total > 0 ? int(done * 100 / total) : 0;
    std::lock_guard<std::mutex> hold(lock_);
    const auto now = std::chrono::steady_clock::now();
    const bool due = last_percent_ < 0 || (percent == 100 && last_percent_ != 100) ||
                     (percent != last_percent_ && now - last_draw_ >= interval_);
    if (!due) {
        return;
    }
    last_draw_ = now;
    last_percent_ = percent;
    draw(percent);
}

void ProgressBar::finish() {
    std::lock_guard<std::mutex> hold(lock_);
    if (shown_) {
        std::fputs("\r\033[K", stream_);
        std::fflush(stream_);
        shown_ = false;
    }
    last_percent_ = -1;
}

int ProgressBar::redraws() const {
    std::lock_guard<std::mutex> hold(lock_);
    return redraws_;
}

void ProgressBar::draw(int percent) {
    const int filled = percent * kBarWidth / 100;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kBarWidth - filled), '.');
    std::fprintf(stream_, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
    std::fflush(stream_);
    shown_ = true;
    ++redraws_;
}
