#include <gtest/gtest.h>

#include <cstring>

#include "qbrender/host_handles.h"
#include "qbrender/host_names.h"
#include "qbrender/host_pixels.h"
#include "qbrender/host_world.h"
#include "tests/hostdriver/probe_reference.h"
#include "qbrender/qbrender_error.h"

// The host's own services: memory handles, pixel worlds with guarded rows, and the checks the
// host makes after every command, shown to catch an effect that breaks the rules.

namespace {

TEST(HandleTable, HandlesGiveAlignedMemoryThroughThemselves) {
    HandleTable table;
    PF_Handle a = table.allocate(100);
    PF_Handle empty = table.allocate(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(table.liveCount(), 2u);
    void* p = table.lock(a);
    EXPECT_EQ(p, *a);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(table.size(a), 100u);
    EXPECT_EQ(table.size(empty), 0u);
    std::memset(p, 0x11, 100);
    table.unlock(a);
    ASSERT_EQ(table.resize(300, &a), PF_Err_NONE);
    EXPECT_EQ(table.size(a), 300u);
    EXPECT_EQ(static_cast<unsigned char*>(*a)[99], 0x11);
    table.dispose(a);
    table.dispose(empty);
    EXPECT_EQ(table.liveCount(), 0u);
    EXPECT_TRUE(table.takeFaults().empty());
}

TEST(HandleTable, MisuseIsAFaultNotACrash) {
    HandleTable table;
    PF_Handle a = table.allocate(8);
    table.unlock(a);
    table.dispose(a);
    table.dispose(a);
    EXPECT_EQ(table.lock(a), nullptr);
    table.dispose(nullptr);
    const std::vector<std::string> faults = table.takeFaults();
    ASSERT_EQ(faults.size(), 4u);
    EXPECT_NE(faults[0].find("host_unlock_handle of handle"), std::string::npos) << faults[0];
    EXPECT_NE(faults[1].find("host_dispose_handle of unknown or disposed handle"),
              std::string::npos);
    EXPECT_NE(faults[3].find("a null handle"), std::string::npos);
    EXPECT_TRUE(table.takeFaults().empty());
}

TEST(HandleTable, RefusesMemoryFromTheChosenAllocationOn) {
    HandleTable table;
    table.failFrom(3);
    PF_Handle a = table.allocate(1);
    PF_Handle b = table.allocate(1);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(table.allocate(1), nullptr);
    EXPECT_EQ(table.allocate(1), nullptr);
    table.failFrom(0);
    EXPECT_NE(table.allocate(1), nullptr);
    EXPECT_EQ(table.disposeAll(a), 2u);
    EXPECT_TRUE(table.contains(a));
    EXPECT_EQ(table.disposeAll(), 1u);
}

// Disposed memory waits in the pool for an allocation of exactly its size, as a host's cache
// keeps blocks between frames; everything else gets fresh memory.
TEST(HandleTable, PoolGivesDisposedMemoryBackForTheSameSizeOnly) {
    HandleTable table;
    PF_Handle a = table.allocate(1000);
    PF_Handle b = table.allocate(2000);
    void* const a_memory = table.lock(a);
    void* const b_memory = table.lock(b);
    table.unlock(a);
    table.unlock(b);
    EXPECT_EQ(table.freshAllocationCount(), 2u);
    table.dispose(a);
    table.dispose(b);
    EXPECT_EQ(table.pooledBytes(), 3000u);
    EXPECT_EQ(table.liveBytes(), 0u);

    PF_Handle c = table.allocate(2000);
    EXPECT_EQ(*c, b_memory);
    PF_Handle d = table.allocate(1000);
    EXPECT_EQ(*d, a_memory);
    EXPECT_EQ(table.pooledBytes(), 0u);
    EXPECT_EQ(table.freshAllocationCount(), 2u);
    PF_Handle e = table.allocate(1000);  // the pool has no second block of this size
    EXPECT_NE(*e, a_memory);
    EXPECT_EQ(table.freshAllocationCount(), 3u);
    EXPECT_EQ(table.liveBytes(), 4000u);

    // A resize gives the old block to the pool and takes a pooled one of the new size.
    table.dispose(d);
    ASSERT_EQ(table.resize(1000, &c), PF_Err_NONE);
    EXPECT_EQ(*c, a_memory);
    EXPECT_EQ(table.pooledBytes(), 2000u);
    EXPECT_EQ(table.disposeAll(), 2u);
    EXPECT_EQ(table.pooledBytes(), 4000u);
    table.releasePool();
    EXPECT_EQ(table.pooledBytes(), 0u);
    EXPECT_TRUE(table.takeFaults().empty());
}

// trimPool marks a frame's end: a block given back stays pooled through the next
// HandleTable::kPoolFrames frames and is freed when none of them took it.
TEST(HandleTable, TrimFreesWhatRecentFramesLeftUnused) {
    static_assert(HandleTable::kPoolFrames == 2);
    HandleTable table;
    table.dispose(table.allocate(64));
    PF_Handle kept = table.allocate(128);
    table.dispose(kept);
    table.trimPool();  // end of frame 0: both given back in it
    EXPECT_EQ(table.pooledBytes(), 192u);
    table.trimPool();  // frame 1 took neither
    EXPECT_EQ(table.pooledBytes(), 192u);
    kept = table.allocate(128);  // frame 2 takes one of them again
    table.dispose(kept);
    table.trimPool();  // end of frame 2: the 64-byte block sat unused through frames 1 and 2
    EXPECT_EQ(table.pooledBytes(), 128u);
    table.trimPool();
    EXPECT_EQ(table.pooledBytes(), 128u);
    table.trimPool();
    EXPECT_EQ(table.pooledBytes(), 0u);
}

// A refused allocation is refused with a fitting block in the pool too, and leaves it there.
TEST(HandleTable, InjectedFailuresRefusePooledMemoryToo) {
    HandleTable table;
    table.dispose(table.allocate(256));
    table.failFrom(1);
    EXPECT_EQ(table.allocate(256), nullptr);
    EXPECT_EQ(table.pooledBytes(), 256u);
    table.failFrom(0);
    PF_Handle again = table.allocate(256);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(table.freshAllocationCount(), 1u);
    table.dispose(again);
}

TEST(HostWorld, RowsArePaddedAndTheirSpareBytesGuarded) {
    for (const SampleDepth depth :
         {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32}) {
        HostWorld world(7, 3, depth, 5, -2, true);
        const PF_EffectWorld* def = world.def();
        const size_t pixels = 7 * hostPixelBytes(depth);
        EXPECT_EQ(size_t(def->rowbytes), pixels + HostWorld::spareBytes(depth));
        if (depth != SampleDepth::bits8) {
            EXPECT_NE(def->rowbytes % A_long(hostPixelBytes(depth)), 0);
        }
        EXPECT_EQ(reinterpret_cast<uintptr_t>(def->data) % 16, 0u);
        EXPECT_EQ(def->origin_x, 5);
        EXPECT_EQ(def->origin_y, -2);
        EXPECT_EQ((def->world_flags & PF_WorldFlag_DEEP) != 0, depth == SampleDepth::bits16);
        EXPECT_EQ(HostWorld::fromDef(def), &world);
        EXPECT_TRUE(world.damage().empty());

        // Every pixel byte may be written ...
        for (int y = 0; y < 3; ++y) std::memset(world.row(y), 0x7F, pixels);
        EXPECT_TRUE(world.damage().empty());
        // ... but not one spare byte, nor anything before or after the rows.
        world.row(1)[pixels + 2] = 0;
        EXPECT_EQ(world.damage(),
                  "row 1, spare byte 2 of " + std::to_string(HostWorld::spareBytes(depth)));
        world.row(1)[pixels + 2] = HostWorld::kSentinel;
        world.row(0)[-1] = 0;
        EXPECT_EQ(world.damage(), "guard byte 1 before row 0");
        world.row(0)[-1] = HostWorld::kSentinel;
        world.row(2)[def->rowbytes] = 0;
        EXPECT_EQ(world.damage(), "guard byte 0 after the last row");
    }
    PF_EffectWorld copy{};
    EXPECT_EQ(HostWorld::fromDef(&copy), nullptr);
}

TEST(HostWorld, FillCutsAPlaneAndLeavesOutsideTransparent) {
    Image image(5, 4, SampleDepth::bits8);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) image.setSample(x, y, 0, x * 10 + y);
    }
    const HostPlane plane = makeHostPlane(image, SampleDepth::bits8, 1);
    HostWorld world(3, 3, SampleDepth::bits8, 0, 0, false);
    world.fill(plane, 3, -1);
    // Host order alpha, red, green, blue: red is byte 1.
    EXPECT_EQ(world.row(0)[1], 0);
    EXPECT_EQ(world.row(1)[1], 30);
    EXPECT_EQ(world.row(1)[4 + 1], 40);
    EXPECT_EQ(world.row(1)[8 + 1], 0);
    EXPECT_EQ(world.row(2)[4 + 1], 41);
    const uint64_t sum = world.pixelChecksum();
    world.row(2)[0] ^= 1;
    EXPECT_NE(world.pixelChecksum(), sum);
}

// The checksum sees a change of any one pixel byte, in whole words, in the bytes after the last
// whole group of words and in the last row; the spare bytes after the pixels are not in it.
TEST(HostWorld, ChecksumSeesEveryPixelByteAndNoSpareByte) {
    for (const SampleDepth depth :
         {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32}) {
        SCOPED_TRACE(depthName(depth));
        HostWorld world(13, 3, depth, 0, 0, true);
        const size_t pixels = 13 * hostPixelBytes(depth);
        for (int y = 0; y < 3; ++y) {
            for (size_t i = 0; i < pixels; ++i) world.row(y)[i] = (unsigned char)(i * 7 + y);
        }
        const uint64_t sum = world.pixelChecksum();
        for (int y = 0; y < 3; ++y) {
            for (size_t i = 0; i < pixels; ++i) {
                world.row(y)[i] ^= 0x40;
                EXPECT_NE(world.pixelChecksum(), sum) << "row " << y << " byte " << i;
                world.row(y)[i] ^= 0x40;
            }
        }
        EXPECT_EQ(world.pixelChecksum(), sum);
        world.row(1)[pixels] ^= 1;
        EXPECT_EQ(world.pixelChecksum(), sum);
    }
}

TEST(HostPlane, DownsamplingPicksEveryNthPixelAndDepth) {
    Image image(7, 5, SampleDepth::bits16);
    std::vector<float> z;
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) {
            image.setSample(x, y, 1, 1000 * x + y);
            z.push_back(float(x + 10 * y));
        }
    }
    image.setZ(z);
    const HostPlane plane = makeHostPlane(image, SampleDepth::bits16, 3);
    EXPECT_EQ(plane.width, 2);
    EXPECT_EQ(plane.height, 1);
    uint16_t green = 0;
    std::memcpy(&green, plane.pixel(1, 0) + 2 * 2, 2);
    EXPECT_EQ(green, hostFromFile16(3000));
    ASSERT_EQ(plane.z.size(), 2u);
    EXPECT_EQ(plane.z[1], 3.0f);
    EXPECT_EQ(downsampledSize(2, 3), 1);
    EXPECT_THROW(downsampledSize(10, 0), std::invalid_argument);
}

// ---- the host's checks after a command ----

RenderOutcome misbehaving(const std::string& how, bool classic) {
    const Image input = patternImage(9, 5, SampleDepth::bits8, 50);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.frame.classic = classic;
    job.sets = {{"misbehave", how}};
    return runRenderJob(job);
}

TEST(HostChecks, FindEveryRuleAnEffectBreaks) {
    for (const bool classic : {false, true}) {
        const std::string command = classic ? "PF_Cmd_RENDER" : "PF_Cmd_SMART_RENDER";
        SCOPED_TRACE(command);
        std::vector<std::string> faults = misbehaving("leak a handle", classic).faults;
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0], command + " left 1 memory handle undisposed");

        faults = misbehaving("write into row padding", classic).faults;
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0], command +
                                 " wrote outside the pixels of the output world: row 0, "
                                 "spare byte 0 of 12");

        faults = misbehaving("keep a parameter", classic).faults;
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0], command + " did not check in parameter 'layer gain' (position 2)");

        faults = misbehaving("write into the input", classic).faults;
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_NE(faults[0].find(" changed the pixels of "), std::string::npos) << faults[0];
        EXPECT_NE(faults[0].find("which belong to the host"), std::string::npos);
    }
    EXPECT_TRUE(misbehaving("nothing", false).faults.empty());
}

TEST(HostChecks, ACancelStopsTheRenderAndLeavesNothingBehind) {
    const Image input = patternImage(30, 40, SampleDepth::bits16, 51);
    for (const bool classic : {false, true}) {
        for (const int64_t after : {1, 5, 20}) {
            RenderJob job = probeJob(input, SampleDepth::bits16);
            // One thread: only the host's thread calls the progress callback, so the n-th call
            // comes for sure.
            job.settings.threads = 1;
            job.frame.classic = classic;
            job.settings.cancel_after_progress_calls = after;
            const RenderOutcome outcome = runRenderJob(job);
            EXPECT_EQ(outcome.frame.status, PF_Interrupt_CANCEL);
            EXPECT_TRUE(outcome.faults.empty()) << outcome.faults.front();
            EXPECT_EQ(outcome.commands.back(), PF_Cmd_GLOBAL_SETDOWN);
        }
    }
}

TEST(HostChecks, RefusedMemoryEndsTheRenderWithOutOfMemory) {
    const Image input = patternImage(16, 12, SampleDepth::bits8, 52);
    const Image first = patternImage(4, 4, SampleDepth::bits8, 53);
    for (const bool classic : {false, true}) {
        for (const uint64_t from : {1, 2, 7}) {
            SCOPED_TRACE(std::string(classic ? "classic" : "smart") + " from " +
                         std::to_string(from));
            RenderJob job = probeJob(input, SampleDepth::bits8);
            job.layers = {{"first layer", LayerSource::fromImage(first, "first")}};
            job.frame.classic = classic;
            job.frame.fail_allocations_from = from;
            const RenderOutcome outcome = runRenderJob(job);
            EXPECT_EQ(outcome.frame.status, PF_Err_OUT_OF_MEMORY)
                << errorText(outcome.frame.status);
            EXPECT_TRUE(outcome.faults.empty()) << outcome.faults.front();
        }
    }
}

TEST(HostChecks, AMissingSuiteIsTheEffectsError) {
    const Image input = patternImage(8, 8, SampleDepth::bits8, 54);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.settings.missing_suites = {"PF Param Utils Suite"};
    try {
        runRenderJob(job);
        ADD_FAILURE() << "no error";
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::effect_error);
        EXPECT_EQ(std::string(e.what()),
                  "QB Layer Probe: PF_Cmd_UPDATE_PARAMS_UI returned "
                  "PF_Err_BAD_CALLBACK_PARAM (516)");
    }
}

TEST(HostChecks, GlobalSetupFlagsOfOlderHostsAreNotCompared) {
    SessionSettings settings;
    settings.api_version = PF_SpecVersion{12, 4};
    EffectSession old_host(resolveEffect(probePath(), ""), settings);
    EXPECT_EQ(old_host.outFlags2(), 0);
    EffectSession new_host(resolveEffect(probePath(), ""));
    EXPECT_EQ(new_host.outFlags2(), 0x1480);
    EXPECT_EQ(new_host.outFlags(), 0x06000000);
}

// ---- the depth channel of an EXR input ----

Image withDepth(int width, int height, SampleDepth depth) {
    Image image = patternImage(width, height, depth, 55);
    std::vector<float> z;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) z.push_back(float(x * 3 + y) + 0.125f);
    }
    image.setZ(z);
    return image;
}

TEST(DepthChannel, TheInputsZChannelReachesTheEffectAsFloatsOrDoubles) {
    for (const bool as_double : {false, true}) {
        for (const int downsample : {1, 2}) {
            SCOPED_TRACE(std::string(as_double ? "DBL8" : "FLT4") + " downsample " +
                         std::to_string(downsample));
            const Image input = withDepth(21, 11, SampleDepth::float32);
            RenderJob job = probeJob(input, SampleDepth::float32);
            job.sets = {{"output", "input depth"}};
            job.settings.depth_double = as_double;
            job.frame.downsample = downsample;
            const RenderOutcome outcome = runRenderJob(job);
            ASSERT_EQ(outcome.frame.status, PF_Err_NONE) << errorText(outcome.frame.status);
            EXPECT_TRUE(outcome.faults.empty());
            const Image& out = outcome.frame.output;
            for (int y = 0; y < out.height(); ++y) {
                for (int x = 0; x < out.width(); ++x) {
                    const double z =
                        input.z()[size_t(y * downsample) * 21 + size_t(x * downsample)];
                    ASSERT_EQ(out.sample(x, y, 0), float(z / 100.0)) << x << ", " << y;
                    ASSERT_EQ(out.sample(x, y, 3), 1.0f);
                }
            }
        }
    }
}

TEST(DepthChannel, AnInputWithoutZHasNoDepthChannel) {
    const Image input = patternImage(6, 6, SampleDepth::bits8, 56);
    for (const bool classic : {false, true}) {
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.frame.classic = classic;
        job.sets = {{"output", "input depth"}};
        const RenderOutcome outcome = runRenderJob(job);
        ASSERT_EQ(outcome.frame.status, PF_Err_NONE);
        EXPECT_TRUE(outcome.faults.empty());
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < 6; ++x) ASSERT_EQ(outcome.frame.output.sample(x, y, 0), 0);
        }
    }
}

}  // namespace
