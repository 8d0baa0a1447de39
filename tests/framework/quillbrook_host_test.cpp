#include "framework/quillbrook_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QuillbrookHost makeHost() {
    return QuillbrookHost("Test 'Host'", "Quillbrook", "line one\nline two", 1, 4, 7);
}

int32_t operatingSystemThreads() {
    const int32_t n = static_cast<int32_t>(std::thread::hardware_concurrency());
    return std::clamp(n, 1, 64);
}

TEST(QuillbrookHost, IdentityAndResultCodes) {
    QuillbrookHost host("Test 'Host'", "Quillbrook", "about", 1, 4, 7);
    EXPECT_EQ(host.name, "Test 'Host'");
    EXPECT_EQ(host.category, "Quillbrook");
    EXPECT_EQ(host.description, "about");
    EXPECT_EQ(host.version_major, 1);
    EXPECT_EQ(host.version_minor, 4);
    EXPECT_EQ(host.version_revision, 7);
    EXPECT_EQ(host.noError(), 0);
    EXPECT_EQ(host.outOfMemoryError(), 1);
    EXPECT_EQ(host.abortError(), 2);
    EXPECT_EQ(host.internalError(), 3);
    EXPECT_EQ(host.sourceLayerName(), "Source");
    EXPECT_EQ(host.outputLayerName(), "Output");
    EXPECT_EQ(host.progress(3, 10), host.noError());
    EXPECT_EQ(host.currentFrame(), 0.0);
    EXPECT_EQ(host.layerFrame("Source"), 0.0);
}

TEST(QuillbrookHost, ThreadCountFollowsTheProcessors) {
    QuillbrookHost host("t", "Quillbrook", "", 1, 4, 7);
    const int32_t system = operatingSystemThreads();
    EXPECT_EQ(QuillbrookHost::systemThreadCount(), system);
    EXPECT_EQ(host.threadCount(999999), system);
    EXPECT_EQ(host.threadCount(-1), system);
    EXPECT_EQ(host.threadCount(0), system);
    EXPECT_EQ(host.threadCount(4), std::min(system, 4));
    EXPECT_EQ(host.threadCount(1), 1);
    EXPECT_GE(system, 1);
    EXPECT_LE(system, ThreadPool::kMaxThreads);
}

TEST(QuillbrookHost, AllocateGivesAlignedWritableBlocks) {
    QuillbrookHost host("t", "Quillbrook", "", 1, 4, 7);
    std::vector<void*> blocks;
    for (size_t bytes : {size_t{0}, size_t{1}, size_t{3}, size_t{15}, size_t{16}, size_t{17},
                         size_t{4096}, size_t{1} << 20}) {
        void* block = host.allocate(bytes);
        ASSERT_NE(block, nullptr) << bytes;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << bytes;
        std::memset(block, 0xA5, bytes);
        blocks.push_back(block);
    }
    EXPECT_NE(blocks[0], blocks[1]) << "a zero-byte block is a block of its own";
    for (void* block : blocks) host.release(block);
    host.release(nullptr);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(QuillbrookHost, ImpossibleAllocationGivesNull) {
    QuillbrookHost host("t", "Quillbrook", "", 1, 4, 7);
    EXPECT_EQ(host.allocate(SIZE_MAX / 2), nullptr);
}
#endif

struct Items {
    explicit Items(int32_t count) : runs(count) {}
    int32_t item(int32_t k, int32_t, int32_t slot) {
        runs[k].fetch_add(1);
        max_slot = std::max(max_slot.load(), slot);
        return 0;
    }
    std::vector<std::atomic<int>> runs;
    std::atomic<int32_t> max_slot{0};
};

TEST(QuillbrookHost, RunParallelUsesOneThreadPerProcessor) {
    {
        QuillbrookHost host("t", "Quillbrook", "", 1, 4, 7);
        EXPECT_EQ(host.threadPool().count(), 0) << "no threads before the first run";
        Items items(500);
        EXPECT_EQ(host.runParallelOn<&Items::item>(500, &items), host.noError());
        for (int32_t k = 0; k < 500; ++k) ASSERT_EQ(items.runs[k].load(), 1);
        EXPECT_EQ(host.threadPool().count(), host.threadCount(-1));
        EXPECT_LT(items.max_slot.load(), host.threadCount(-1));
        EXPECT_EQ(ThreadPool::liveWorkers(), host.threadCount(-1) - 1);

        Items again(3);
        EXPECT_EQ(host.runParallelOn<&Items::item>(3, &again), host.noError());
        EXPECT_EQ(ThreadPool::liveWorkers(), host.threadCount(-1) - 1);
    }
    EXPECT_EQ(ThreadPool::liveWorkers(), 0) << "the host's destructor stops its workers";
}

// A filter-like object whose items run a parallel pass of their own through the host.
struct NestedPasses {
    QuillbrookHost* host;
    std::atomic<int> inner{0};
    int32_t outer(int32_t, int32_t, int32_t) {
        return host->runParallelOn<&NestedPasses::innerItem>(5, this);
    }
    int32_t innerItem(int32_t, int32_t, int32_t) {
        inner.fetch_add(1);
        return 0;
    }
};

TEST(QuillbrookHost, NestedRunParallelDoesNotDeadlock) {
    QuillbrookHost host("t", "Quillbrook", "", 1, 4, 7);
    NestedPasses work{&host};
    EXPECT_EQ(host.runParallelOn<&NestedPasses::outer>(12, &work), host.noError());
    EXPECT_EQ(work.inner.load(), 60);
}

TEST(QuillbrookHost, StateDoesNotOutliveTheCommand) {
    for (int command = 0; command < 2; ++command) {
        QuillbrookHost host = makeHost();
        EXPECT_EQ(host.threadPool().count(), 0);
        EXPECT_NE(host.measure().report().find("[Measure]\n-----"), std::string::npos);
        host.measure().record("step", 0, host.measure().frequency());
    }
}

}  // namespace
