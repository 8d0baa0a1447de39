#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// A one-line progress bar on a terminal: "\r<label> [#########.........]  42%".
//
// Redraws are throttled (at most one per interval, plus the first and the one at 100 %) so that
// a plug-in that reports progress per row does not spend its time printing. Nothing at all is
// printed when the bar is disabled (--quiet) or when the stream is not a terminal, so logs and
// pipes stay clean. Safe to call from any thread.
class ProgressBar {
public:
    enum class Mode {
        automatic,  // draw when the stream is a terminal
        never,
        always,  // draw whatever the stream is (tests)
    };

    explicit ProgressBar(Mode mode = Mode::automatic, std::FILE* stream = stderr,
                         std::chrono::milliseconds interval = std::chrono::milliseconds(100));
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    // Erases a bar that is still shown.
    ~ProgressBar();

    bool drawing() const { return drawing_; }

    // Starts a new task with the label shown before the bar.
    void begin(const std::string& label);
    // current of total done; total <= 0 or current outside 0 .. total are clamped.
    void update(int64_t current, int64_t total);
    // Erases the bar; the next begin() starts a fresh line.
    void finish();

    // Number of times the bar was drawn since construction.
    int redraws() const;

private:
    void draw(int percent);

    const bool drawing_;
    std::FILE* const stream_;
    const std::chrono::milliseconds interval_;
    mutable std::mutex lock_;
    std::string label_;
    bool shown_ = false;
    int last_percent_ = -1;
    std::chrono::steady_clock::time_point last_draw_{};
    int redraws_ = 0;
};
