#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "qbrender/host_handles.h"
#include "tests/hostile/hostile_render.h"
#include "qbrender/plugin_library.h"

// Plug-in memory goes through the host's handles, and the host refuses blocks beyond its limit,
// so that a frame too large for the machine fails with out-of-memory instead of the process
// being killed when the effect touches memory the kernel promised but does not have.

namespace {

constexpr uint64_t kMB = uint64_t(1) << 20;

bool samePixels(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.depth() != b.depth()) {
        return false;
    }
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int c = 0; c < Image::channels; ++c)
                if (a.sample(x, y, c) != b.sample(x, y, c)) return false;
    return true;
}

TEST(HandleMemoryLimit, RefusesWhatWouldPassTheLimitAndCountsWhatIsGivenBack) {
    HandleTable table;
    table.setLimit(10 * kMB);
    PF_Handle a = table.allocate(6 * kMB);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(table.liveBytes(), 6 * kMB);
    EXPECT_EQ(table.allocate(5 * kMB), nullptr);
    EXPECT_NE(table.lastRefusal().find("asked for 5 MB with 6 MB in use"), std::string::npos)
        << table.lastRefusal();
    PF_Handle b = table.allocate(4 * kMB);  // exactly at the limit
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(table.allocate(1), nullptr);
    table.dispose(a);
    EXPECT_EQ(table.liveBytes(), 4 * kMB);
    // A resize holds the old block while it copies.
    EXPECT_EQ(table.resize(7 * kMB, &b), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(table.size(b), 4 * kMB);
    EXPECT_EQ(table.resize(6 * kMB, &b), PF_Err_NONE);
    EXPECT_EQ(table.liveBytes(), 6 * kMB);
    EXPECT_EQ(table.disposeAll(), 1u);
    EXPECT_EQ(table.liveBytes(), 0u);
    EXPECT_TRUE(table.takeFaults().empty());
}

// Pooled memory is the process's too: before fresh memory would make live and pooled blocks
// together pass the limit, pooled blocks are freed, largest first. A block of the asked size
// is still taken from the pool, whatever the pool holds.
TEST(HandleMemoryLimit, ThePoolNeverTakesTheHandlesPastTheLimit) {
    HandleTable table;
    table.setLimit(10 * kMB);
    PF_Handle small = table.allocate(1 * kMB);
    table.dispose(table.allocate(6 * kMB));
    table.dispose(table.allocate(2 * kMB));
    EXPECT_EQ(table.pooledBytes(), 8 * kMB);
    PF_Handle reused = table.allocate(2 * kMB);
    EXPECT_EQ(table.freshAllocationCount(), 3u);
    EXPECT_EQ(table.pooledBytes(), 6 * kMB);
    // 1 + 2 live, 6 pooled: 4 fresh would hold 13 MB, so the 6 MB block goes first.
    PF_Handle fresh = table.allocate(4 * kMB);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(table.pooledBytes(), 0u);
    EXPECT_EQ(table.liveBytes(), 7 * kMB);
    // The limit on live memory is what it was: 4 more would pass it.
    EXPECT_EQ(table.allocate(4 * kMB), nullptr);
    table.dispose(small);
    table.dispose(reused);
    table.dispose(fresh);
    EXPECT_EQ(table.pooledBytes(), 7 * kMB);
    EXPECT_TRUE(table.takeFaults().empty());
}

TEST(HandleMemoryLimit, SizesNearTheTopOfTheRangeAreRefusedNotWrapped) {
    HandleTable table;
    table.setLimit(0);  // no limit: the absolute bound still holds
    EXPECT_EQ(table.allocate(~uint64_t(0)), nullptr);
    EXPECT_EQ(table.allocate(~uint64_t(0) - 15), nullptr);
    table.setLimit(kMB);
    PF_Handle a = table.allocate(kMB / 2);
    ASSERT_NE(a, nullptr);
    // in use + asked would wrap around 2^64 if added.
    EXPECT_EQ(table.allocate(~uint64_t(0) - kMB / 4), nullptr);
    table.dispose(a);
}

// The default follows the machine: below what /proc/meminfo reports available, not 0.
TEST(HandleMemoryLimit, DefaultIsBelowTheAvailableMemory) {
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    uint64_t kilobytes = 0, available = 0;
    while (meminfo >> key >> kilobytes >> unit) {
        if (key == "MemAvailable:") available = kilobytes * 1024;
    }
    if (available == 0) GTEST_SKIP() << "no MemAvailable in /proc/meminfo";
    const uint64_t limit = machineHandleMemory();
    EXPECT_GT(limit, 0u);
    // MemAvailable moves between the two reads; an eighth of reserve dwarfs that.
    EXPECT_LT(double(limit), double(available) * 0.95);
    // A table takes the machine's figure when it is made: MemAvailable moves in between, by
    // far less than a twentieth while other tests run beside this one.
    EXPECT_NEAR(double(HandleTable().limit()), double(limit), double(limit) * 0.05);
}

// Every effect at every depth either renders within a small limit or fails cleanly with
// out-of-memory; with a limit far too small for any frame it must fail with out-of-memory and
// leave no handle alive (the session reports leaked handles as faults).
TEST(HandleMemoryLimit, EffectsFailCleanlyWhenTheHostRefusesMemory) {
    for (const char* effect : {"zblur", "evenblur"}) {
        for (const SampleDepth depth : kAllDepths) {
            for (const uint64_t limit : {uint64_t(1), uint64_t(64 * 1024), uint64_t(1 * kMB)}) {
                const std::string what = std::string(effect) + " " + depthName(depth) + " limit " +
                                         std::to_string(limit);
                SCOPED_TRACE(what);
                HostileRender job;
                job.effect = effect;
                job.input = patternImage(96, 64, true).converted(depth);
                job.sets = {{"radius", "40"}};
                job.frame.depth = depth;
                job.memory_limit = limit;
                const HostileOutcome outcome = renderHostile(job);
                if (limit == 1) {
                    EXPECT_EQ(outcome.frame.status, PF_Err_OUT_OF_MEMORY);
                }
                expectDefinedFrameOrOutOfMemory(outcome, what);
            }
        }
    }
}

// A session renders frame after frame, as a host does: from the second frame on every block
// comes from the pool (no first-touch page faults in the effect's time), the frames are the
// same bit for bit (an effect that counted on fresh memory being zero would show here), a
// refused allocation still fails the frame cleanly, and the pool holds no more than a frame
// gave back.
TEST(HandleMemoryLimit, FramesOfASessionReusePooledMemory) {
    for (const char* effect : {"zblur", "evenblur"}) {
        for (const SampleDepth depth : {SampleDepth::bits16, SampleDepth::float32}) {
            const std::string what = std::string(effect) + " " + depthName(depth);
            SCOPED_TRACE(what);
            SessionSettings settings;
            settings.threads = 2;
            EffectSession session(resolveEffect(effect, defaultPluginDir()), settings);
            session.setInput(
                LayerSource::fromImage(patternImage(96, 64, true).converted(depth), "input"));
            session.setParameter("radius", "9");
            if (std::string(effect) == "zblur") {
                session.setParameter("black point", "2");
                session.setParameter("white point", "50");
                session.setParameter("focal point", "100");
            }
            session.setProjectDepth(depth);
            session.updateParamsUI();
            FrameRequest request;
            request.depth = depth;

            const auto started = std::chrono::steady_clock::now();
            const FrameResult first = session.render(request);
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            ASSERT_TRUE(expectDefinedFrame({first, session.takeFaults(), ""}, what));
            // The frame's time splits into the effect's and the host's, nothing counted twice.
            EXPECT_GT(first.seconds, 0.0);
            EXPECT_GT(first.host_seconds, 0.0);
            EXPECT_LE(first.seconds + first.host_seconds, wall);
            const uint64_t pooled = session.handles().pooledBytes();
            EXPECT_GT(pooled, 0u);

            const uint64_t fresh = session.handles().freshAllocationCount();
            const uint64_t asked = session.handles().allocationCount();
            const FrameResult second = session.render(request);
            ASSERT_TRUE(expectDefinedFrame({second, session.takeFaults(), ""}, what));
            EXPECT_GT(session.handles().allocationCount(), asked);
            EXPECT_EQ(session.handles().freshAllocationCount(), fresh);
            // What the commands before the first frame gave back and no frame took is gone.
            EXPECT_LE(session.handles().pooledBytes(), pooled);
            EXPECT_TRUE(samePixels(first.output, second.output));
            ASSERT_GE(session.handles().allocationCount() - asked, 2u);

            request.fail_allocations_from = 2;
            const FrameResult refused = session.render(request);
            EXPECT_EQ(refused.status, PF_Err_OUT_OF_MEMORY);
            EXPECT_EQ(session.handles().liveCount(), 0u);
            for (const std::string& f : session.takeFaults()) ADD_FAILURE() << f;
            request.fail_allocations_from = 0;
            const FrameResult third = session.render(request);
            ASSERT_TRUE(expectDefinedFrame({third, session.takeFaults(), ""}, what));
            EXPECT_TRUE(samePixels(first.output, third.output));
            EXPECT_EQ(session.handles().freshAllocationCount(), fresh);
            session.close();
        }
    }
}

int runQbrender(const std::string& args, std::string* err) {
    const std::string err_file =
        ::testing::TempDir() + "hostile_qbrender_err_" + std::to_string(::getpid()) + ".txt";
    const std::string command = std::string(QB_QBRENDER) + " " + args + " 2>" + err_file;
    const int raw = std::system(command.c_str());
    std::ifstream in(err_file);
    std::stringstream text;
    text << in.rdbuf();
    *err = text.str();
    std::remove(err_file.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The program's contract: exit status 2 and one line naming the error and the limit.
TEST(HandleMemoryLimit, QbrenderReportsTheLimitWithExitStatus2) {
    std::string err;
    EXPECT_EQ(runQbrender("evenblur --size 320x180 --quiet --memory-limit 1 --set radius=40", &err),
              2);
    EXPECT_NE(err.find("PF_Err_OUT_OF_MEMORY (4)"), std::string::npos) << err;
    EXPECT_NE(err.find("over the plug-in memory limit of 1 MB"), std::string::npos) << err;
    EXPECT_EQ(runQbrender("zblur --size 64x48 --quiet --memory-limit 0", &err), 1) << err;
    EXPECT_NE(err.find("--memory-limit"), std::string::npos) << err;
}

// An 8K frame (7680x4320) at radius 999. Evenblur's padded transforms need about 3.5 GB: under a
// 2000 MB limit, standing for a smaller machine, the frame fails at once with out-of-memory.
// Zblur's tiles fit in a few GB but the frame would take hours (its cost grows with the
// radius); it must stop cleanly on a cancel. 8-bit keeps the host's own images at 130 MB.
TEST(HandleMemoryLimit, EightKFrameAtTheLargestRadius) {
    const Image frame(7680, 4320, SampleDepth::bits8);
    {
        HostileRender job;
        job.effect = "evenblur";
        job.input = frame;
        job.sets = {{"radius", "999"}};
        job.frame.depth = SampleDepth::bits8;
        job.memory_limit = 2000 * kMB;
        const HostileOutcome outcome = renderHostile(job);
        EXPECT_EQ(outcome.frame.status, PF_Err_OUT_OF_MEMORY);
        EXPECT_NE(outcome.refusal.find("limit of 2000 MB"), std::string::npos) << outcome.refusal;
        for (const std::string& f : outcome.faults) ADD_FAILURE() << f;
    }
    {
        HostileRender job;
        job.effect = "zblur";
        job.input = frame;
        job.sets = {{"radius", "999"}};
        job.frame.depth = SampleDepth::bits8;
        job.settings.cancel_after_progress_calls = 2;
        const HostileOutcome outcome = renderHostile(job);
        EXPECT_EQ(outcome.frame.status, PF_Interrupt_CANCEL);
        for (const std::string& f : outcome.faults) ADD_FAILURE() << f;
    }
}

}  // namespace
