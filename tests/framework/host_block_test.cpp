#include "framework/host_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace {

static_assert(!std::is_copy_constructible_v<HostBlock> && !std::is_copy_assignable_v<HostBlock>);
static_assert(std::is_nothrow_move_constructible_v<HostBlock> &&
              std::is_nothrow_move_assignable_v<HostBlock>);

// Hands out heap blocks and counts how often each one comes back; a block given back that it
// never handed out, or one given back twice, counts as foreign.
class CountingContext : public QuillbrookRenderContext {
public:
    ~CountingContext() override {
        for (auto& [block, releases] : releases_) {
            if (releases == 0) std::free(block);
        }
    }
    int32_t progress(int32_t, int32_t) override { return 0; }
    void* allocate(size_t bytes) override {
        if (refuse) return nullptr;
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        releases_[block] = 0;
        return block;
    }
    void release(void* block) override {
        ++total_releases;
        auto found = releases_.find(block);
        if (found == releases_.end() || found->second > 0) {
            ++foreign;
            return;
        }
        found->second = 1;
        std::free(block);
    }
    int32_t threadCount(int32_t) override { return 1; }
    int32_t runParallel(int32_t, void*, ParallelCallback) override { return 0; }
    double currentFrame() override { return 0.0; }

    int32_t releasesOf(void* block) const {
        auto found = releases_.find(block);
        return found == releases_.end() ? -1 : found->second;
    }

    bool refuse = false;
    int32_t total_releases = 0;
    int32_t foreign = 0;

private:
    std::map<void*, int32_t> releases_;
};

class HostBlockTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(context.foreign, 0); }
    CountingContext context;
};

TEST_F(HostBlockTest, GivesTheBlockBackOnceAfterMoves) {
    void* raw = nullptr;
    {
        HostBlock first = HostBlock::allocate(context, 64);
        ASSERT_TRUE(first);
        raw = first.get();
        HostBlock second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);
        HostBlock third;
        third = std::move(second);
        EXPECT_EQ(third.as<unsigned char>(), static_cast<unsigned char*>(raw));
        HostBlock& same = third;
        third = std::move(same);
        EXPECT_EQ(third.get(), raw);
        EXPECT_EQ(context.total_releases, 0);
    }
    EXPECT_EQ(context.releasesOf(raw), 1);
    EXPECT_EQ(context.total_releases, 1);
}

TEST_F(HostBlockTest, ResetAndAssignmentGiveBackTheOldBlockAtOnce) {
    HostBlock owner = HostBlock::allocate(context, 16);
    void* old_block = owner.get();
    HostBlock other = HostBlock::allocate(context, 16);
    void* new_block = other.get();
    owner = std::move(other);
    EXPECT_EQ(context.releasesOf(old_block), 1);
    EXPECT_EQ(owner.get(), new_block);
    owner.reset();
    EXPECT_FALSE(owner);
    EXPECT_EQ(context.releasesOf(new_block), 1);
    owner.reset();
    EXPECT_EQ(context.total_releases, 2);
}

TEST_F(HostBlockTest, DetachedAndEmptyOwnersGiveNothingBack) {
    void* raw = nullptr;
    {
        HostBlock owner = HostBlock::allocate(context, 8);
        raw = owner.detach();
        EXPECT_FALSE(owner);
        HostBlock empty;
        context.refuse = true;
        HostBlock refused = HostBlock::allocate(context, 8);
        EXPECT_FALSE(refused);
        EXPECT_EQ(refused.get(), nullptr);
    }
    EXPECT_EQ(context.total_releases, 0);
    context.release(raw);
    EXPECT_EQ(context.releasesOf(raw), 1);
}

TEST_F(HostBlockTest, GivesTheBlockBackWhenAnExceptionLeavesTheScope) {
    void* raw = nullptr;
    EXPECT_THROW(
        {
            HostBlock owner = HostBlock::allocate(context, 32);
            raw = owner.get();
            throw std::runtime_error("cancelled");
        },
        std::runtime_error);
    EXPECT_EQ(context.releasesOf(raw), 1);
}

}  // namespace
