#include "qbrender/progress_bar.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qbrender/interrupt_flag.h"

namespace {

std::string contentsOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text += char(c);
    }
    return text;
}

TEST(ProgressBar, DrawsLabelBarAndPercent) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        ProgressBar bar(ProgressBar::Mode::always, out, std::chrono::milliseconds(0));
        EXPECT_TRUE(bar.drawing());
        bar.begin("frame 3");
        bar.update(1, 2);
        bar.update(2, 2);
        bar.finish();
    }
    const std::string text = contentsOf(out);
    EXPECT_NE(text.find("\rframe 3 [###############...............]  50%"), std::string::npos)
        << text;
    EXPECT_NE(text.find("[##############################] 100%"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K");
    std::fclose(out);
}

TEST(ProgressBar, RedrawsAreThrottled) {
    std::FILE* out = std::tmpfile();
    {
        ProgressBar bar(ProgressBar::Mode::always, out, std::chrono::hours(1));
        bar.begin("render");
        for (int i = 0; i <= 10000; ++i) {
            bar.update(i, 10000);
        }
        // The first draw and the one at 100 %; everything between falls within the interval.
        EXPECT_EQ(bar.redraws(), 2);
        bar.update(10000, 10000);
        EXPECT_EQ(bar.redraws(), 2);
    }
    std::fclose(out);
}

TEST(ProgressBar, RedrawsOnceTheIntervalHasPassed) {
    std::FILE* out = std::tmpfile();
    {
        ProgressBar bar(ProgressBar::Mode::always, out, std::chrono::milliseconds(1));
        bar.begin("render");
        bar.update(1, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        bar.update(2, 10);
        EXPECT_EQ(bar.redraws(), 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        bar.update(2, 10);  // same percentage: nothing new to show
        EXPECT_EQ(bar.redraws(), 2);
    }
    std::fclose(out);
}

TEST(ProgressBar, OutOfRangeCountsAreClamped) {
    std::FILE* out = std::tmpfile();
    {
        ProgressBar bar(ProgressBar::Mode::always, out, std::chrono::milliseconds(0));
        bar.begin("x");
        bar.update(-5, 10);
        bar.update(50, 10);
        bar.update(3, 0);
    }
    const std::string text = contentsOf(out);
    EXPECT_NE(text.find("   0%"), std::string::npos);
    EXPECT_NE(text.find(" 100%"), std::string::npos);
    EXPECT_EQ(text.find("500%"), std::string::npos);
    std::fclose(out);
}

TEST(ProgressBar, QuietOrNotATerminalPrintsNothing) {
    std::FILE* out = std::tmpfile();
    {
        ProgressBar quiet(ProgressBar::Mode::never, out);
        ProgressBar piped(ProgressBar::Mode::automatic, out);  // a file is not a terminal
        EXPECT_FALSE(quiet.drawing());
        EXPECT_FALSE(piped.drawing());
        for (ProgressBar* bar : {&quiet, &piped}) {
            bar->begin("frame 1");
            bar->update(5, 10);
            bar->finish();
        }
    }
    EXPECT_EQ(contentsOf(out), "");
    std::fclose(out);
}

TEST(ProgressBar, UpdatesFromManyThreadsAreSafe) {
    std::FILE* out = std::tmpfile();
    {
        ProgressBar bar(ProgressBar::Mode::always, out, std::chrono::milliseconds(0));
        bar.begin("threads");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&bar, t] {
                for (int i = 0; i < 500; ++i) {
                    bar.update(i * 4 + t, 2000);
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_GT(bar.redraws(), 0);
    }
    std::fclose(out);
}

TEST(InterruptGuard, CtrlCSetsTheFlagInsteadOfEndingTheProcess) {
    struct sigaction before {};
    sigaction(SIGINT, nullptr, &before);
    {
        InterruptGuard guard;
        EXPECT_FALSE(cancelRequested());
        std::raise(SIGINT);
        EXPECT_TRUE(cancelRequested());
        // The handler removed itself: a second Ctrl-C would end the process.
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL);
    }
    struct sigaction after {};
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_TRUE(cancelRequested());  // stays set for the host to answer
    clearCancelRequest();
    EXPECT_FALSE(cancelRequested());
    requestCancel();
    EXPECT_TRUE(cancelRequested());
    InterruptGuard fresh;
    EXPECT_FALSE(cancelRequested());
}

}  // namespace
