#include "zblur/row_sweep_loops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// The code paths this processor runs, the plain loops first.
std::vector<SweepCode> available_codes() {
    std::vector<SweepCode> codes;
    for (SweepCode c : {SweepCode::portable, SweepCode::avx2, SweepCode::avx512})
        if (sweep_code_available(c)) codes.push_back(c);
    return codes;
}

// Gives a record's fields other than its accumulators values a stray store would change.
void fill_rest(std::mt19937& rng, ZblurSourceRecord& r) {
    std::uniform_int_distribution<int32_t> any(-1000000, 1000000);
    for (int32_t& c : r.colour) c = any(rng);
    r.level = uint8_t(any(rng));
    r.shift = uint8_t(any(rng));
    r.run = uint8_t(any(rng));
    r.flags = uint8_t(any(rng) & ~int32_t(kZblurRecordCovered));
}

// The collection writes nothing but the accumulators.
void expect_rest_unchanged(const std::vector<ZblurSourceRecord>& got,
                           const std::vector<ZblurSourceRecord>& start, const char* what) {
    for (size_t i = 0; i < got.size(); ++i) {
        for (int c = 0; c < 4; ++c) ASSERT_EQ(got[i].colour[c], start[i].colour[c]) << what << i;
        ASSERT_EQ(got[i].level, start[i].level) << what << " record " << i;
        ASSERT_EQ(got[i].shift, start[i].shift) << what << " record " << i;
        ASSERT_EQ(got[i].run, start[i].run) << what << " record " << i;
        ASSERT_EQ(got[i].flags, start[i].flags) << what << " record " << i;
    }
}

// A kernel row of `n` changes at increasing offsets from `x0`, 1 to `max_gap` apart, ending in
// the row terminator.
std::vector<LevelStep> kernel_row(std::mt19937& rng, int32_t n, int32_t x0,
                                  int32_t max_gap = 5) {
    std::vector<LevelStep> row;
    std::uniform_int_distribution<int32_t> gap(1, max_gap);
    std::uniform_int_distribution<int32_t> weight(-65536, 65536);
    int32_t x = x0;
    for (int32_t t = 0; t < n; ++t) {
        row.push_back(LevelStep{weight(rng), 0, x});
        x += gap(rng);
    }
    row.push_back(LevelStep{0, 0, kIrisRowEnd});
    return row;
}

// Every change of every record added straight into a dense array.
std::vector<ZblurLevelSums<int64_t>> brute_force(const std::vector<LevelStep>& steps,
                                                 const std::vector<ZblurSourceRecord>& records,
                                                 int32_t first, int32_t last, size_t columns) {
    std::vector<ZblurLevelSums<int64_t>> out(columns, ZblurLevelSums<int64_t>{});
    for (int32_t i = first; i < last; ++i)
        for (const LevelStep& s : steps) {
            if (s.x == kIrisRowEnd) break;
            ZblurLevelSums<int64_t>& d = out[size_t(i + s.x)];
            d.a += int64_t(s.weight_step) * records[size_t(i)].colour[0];
            d.r += int64_t(s.weight_step) * records[size_t(i)].colour[1];
            d.g += int64_t(s.weight_step) * records[size_t(i)].colour[2];
            d.b += int64_t(s.weight_step) * records[size_t(i)].colour[3];
            d.w += s.weight_step;
        }
    return out;
}

void expect_equal(const std::vector<ZblurLevelSums<int64_t>>& got,
                  const std::vector<ZblurLevelSums<int64_t>>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t c = 0; c < got.size(); ++c) {
        ASSERT_EQ(got[c].a, want[c].a) << what << " column " << c;
        ASSERT_EQ(got[c].r, want[c].r) << what << " column " << c;
        ASSERT_EQ(got[c].g, want[c].g) << what << " column " << c;
        ASSERT_EQ(got[c].b, want[c].b) << what << " column " << c;
        ASSERT_EQ(got[c].w, want[c].w) << what << " column " << c;
    }
}

// Rows of 2 to 40 changes (more than one chunk of the local copy), negative colours (float
// pixels below zero) and the extreme colours and weights of the grids: the vector code and
// the portable code both give the exact sums of a brute-force addition. Offsets 1 to 5 apart
// make clusters of neighbouring changes and single ones, and rows of consecutive offsets make
// one cluster of a ramp; runs from 1 to 214 records, and ramps of 2 to 9 changes over runs of
// about 200 and of 1 to 10 (shorter than the ramp, as long and longer: the window loop takes
// the ramp's ends from its run, and the longest ramps go through the general cluster loop).
TEST(RowScatter, ExactAgainstBruteForceOnBothCodePaths) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int32_t> colour(-8388607, 8388607);
    for (int32_t trial = 0; trial < 152; ++trial) {
        // The last trials: 2 to 9 changes at consecutive columns, the ramp of an edge.
        const bool ramp = trial >= 60;
        const int32_t n = ramp ? 2 + trial % 8 : trial < 10 ? 2 + trial : 2 + trial % 39;
        const std::vector<LevelStep> steps = kernel_row(rng, n, -(trial % 9), ramp ? 1 : 5);
        const int32_t reach = steps[size_t(n - 1)].x;
        const int32_t count = trial >= 72 ? 1 + (trial - 72) / 8 : 1 + trial * 3;
        const int32_t first = 12;
        std::vector<ZblurSourceRecord> records(size_t(first + count + 4), ZblurSourceRecord{});
        for (ZblurSourceRecord& r : records)
            for (int32_t& c : r.colour) c = trial == 0 ? 8388607 : colour(rng);
        const size_t columns = size_t(first + count + reach + 1);
        const std::vector<ZblurLevelSums<int64_t>> want =
            brute_force(steps, records, first, first + count, columns);
        for (const SweepCode code : available_codes()) {
            std::vector<ZblurLevelSums<int64_t>> got(columns, ZblurLevelSums<int64_t>{});
            scatter_kernel_row(steps.data(), records.data(), first, first + count, got.data(),
                               code);
            expect_equal(got, want, sweep_code_name(code));
        }
    }
    ::testing::Test::RecordProperty("vector_code", int(available_codes().size()) - 1);
}

// Near the ends of a padded row: a change left of column 0 counts at column 0, one at wp or
// beyond is left out. Runs that start left of every change's reach, end past it or lie wholly
// outside, on every code path, against a brute-force addition with those rules.
TEST(RowScatter, ClampedAtTheRowsEndsAgainstBruteForce) {
    std::mt19937 rng(13);
    std::uniform_int_distribution<int32_t> colour(-8388607, 8388607);
    const int32_t wp = 40;
    for (int32_t trial = 0; trial < 40; ++trial) {
        const int32_t n = 2 + trial % 19;  // up to 20: more than one chunk of the local copy
        const std::vector<LevelStep> steps = kernel_row(rng, n, -12 + trial % 7);
        std::vector<ZblurSourceRecord> records(size_t(wp), ZblurSourceRecord{});
        for (ZblurSourceRecord& r : records)
            for (int32_t& c : r.colour) c = colour(rng);
        const int32_t first = trial % 2 == 0 ? trial % 11 : wp - 1 - trial % 13;
        const int32_t last = std::min(wp, first + 1 + trial % 17);
        std::vector<ZblurLevelSums<int64_t>> want(size_t(wp), ZblurLevelSums<int64_t>{});
        for (int32_t i = first; i < last; ++i)
            for (const LevelStep& st : steps) {
                if (st.x == kIrisRowEnd || i + st.x >= wp) continue;
                ZblurLevelSums<int64_t>& d = want[size_t(std::max(0, i + st.x))];
                d.a += int64_t(st.weight_step) * records[size_t(i)].colour[0];
                d.r += int64_t(st.weight_step) * records[size_t(i)].colour[1];
                d.g += int64_t(st.weight_step) * records[size_t(i)].colour[2];
                d.b += int64_t(st.weight_step) * records[size_t(i)].colour[3];
                d.w += st.weight_step;
            }
        for (const SweepCode code : available_codes()) {
            std::vector<ZblurLevelSums<int64_t>> got(size_t(wp), ZblurLevelSums<int64_t>{});
            scatter_kernel_row_clamped(steps.data(), records.data(), first, last, wp, got.data(),
                                       code);
            expect_equal(got, want, sweep_code_name(code));
        }
    }
}

// Nothing is touched outside the changes' columns, and an empty run changes nothing; on every
// code path, for one record and for a run of eight (whose middle columns the cluster loop takes).
TEST(RowScatter, WritesOnlyTheChangesColumns) {
    std::mt19937 rng(3);
    const std::vector<LevelStep> steps = kernel_row(rng, 3, 0);
    std::vector<ZblurSourceRecord> records(12, ZblurSourceRecord{});
    for (ZblurSourceRecord& r : records) r.colour[0] = r.colour[1] = r.colour[2] = r.colour[3] = 5;
    for (const SweepCode code : available_codes())
        for (const int32_t count : {1, 8}) {
            std::vector<ZblurLevelSums<int64_t>> sums(40, ZblurLevelSums<int64_t>{7, 7, 7, 7, 7});
            scatter_kernel_row(steps.data(), records.data(), 4, 4, sums.data(), code);
            for (const auto& s : sums) EXPECT_EQ(s.w, 7);
            scatter_kernel_row(steps.data(), records.data(), 2, 2 + count, sums.data(), code);
            for (size_t c = 0; c < sums.size(); ++c) {
                bool changed = false;
                for (int32_t i = 2; i < 2 + count; ++i)
                    for (size_t t = 0; t + 1 < steps.size(); ++t)
                        changed |= int32_t(c) == i + steps[t].x;
                if (!changed) {
                    EXPECT_EQ(sums[c].a, 7) << sweep_code_name(code) << " " << c;
                    EXPECT_EQ(sums[c].r, 7) << sweep_code_name(code) << " " << c;
                    EXPECT_EQ(sums[c].g, 7) << sweep_code_name(code) << " " << c;
                    EXPECT_EQ(sums[c].b, 7) << sweep_code_name(code) << " " << c;
                    EXPECT_EQ(sums[c].w, 7) << sweep_code_name(code) << " " << c;
                } else if (count == 1) {
                    EXPECT_NE(sums[c].w, 7) << sweep_code_name(code) << " " << c;
                }
            }
        }
}

// The background collection on every code path against the same sums in double precision:
// every record ends with its start value less the sum of dw x prefix over its changes, and
// every path gives the portable loop's floats (runs of every length modulo the 2 and 4 records
// the vector loops take at a time, rows longer than one chunk of the local copy).
TEST(RowGather, BothCodePathsCollectTheKernelWeightedDeposits) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> deposit(0.0f, 5.0e6f);
    for (int32_t trial = 0; trial < 30; ++trial) {
        const int32_t n = trial < 25 ? 2 + trial % 7 : 17 + trial % 5;
        const std::vector<LevelStep> steps = kernel_row(rng, n, -(trial % 5));
        const int32_t reach = steps[size_t(n - 1)].x;
        const int32_t first = 6 + trial % 3, count = 1 + trial;
        const size_t columns = size_t(first + count + reach + 1);
        std::vector<ZblurBackgroundPrefix> prefix(columns);
        for (ZblurBackgroundPrefix& p : prefix) {
            for (int c = 0; c < 5; ++c) p.v[c] = deposit(rng);
            p.v[5] = p.v[6] = p.v[7] = 0.0f;
        }
        std::vector<ZblurSourceRecord> start(size_t(first + count + 2), ZblurSourceRecord{});
        for (ZblurSourceRecord& r : start) {
            for (float& v : r.background) v = deposit(rng);
            fill_rest(rng, r);
        }
        const std::vector<SweepCode> codes = available_codes();
        std::vector<std::vector<ZblurSourceRecord>> paths(codes.size(), start);
        for (size_t k = 0; k < codes.size(); ++k)
            gather_kernel_row(steps.data(), paths[k].data(), first, first + count, prefix.data(),
                              codes[k]);
        for (size_t k = 0; k < codes.size(); ++k)
            expect_rest_unchanged(paths[k], start, sweep_code_name(codes[k]));
        for (int32_t i = 0; i < int32_t(start.size()); ++i)
            for (int c = 0; c < 5; ++c) {
                double want = start[size_t(i)].background[c];
                double scale = std::fabs(want);
                if (i >= first && i < first + count)
                    for (int32_t t = 0; t < n; ++t) {
                        const double term = double(steps[size_t(t)].weight_step) *
                                            prefix[size_t(i + steps[size_t(t)].x)].v[c];
                        want -= term;
                        scale += std::fabs(term);
                    }
                for (const auto& got : paths)
                    ASSERT_NEAR(got[size_t(i)].background[c], want, scale * 1e-6)
                        << "trial " << trial << " record " << i << " channel " << c;
                // The same products and differences in the same order: the same floats.
                for (size_t k = 1; k < paths.size(); ++k)
                    ASSERT_EQ(paths[0][size_t(i)].background[c], paths[k][size_t(i)].background[c])
                        << sweep_code_name(codes[k]) << " trial " << trial << " record " << i;
            }
    }
}

}  // namespace

namespace {

// Covered records may be passed over, the others never: with every third record and a block of
// eight covered, each uncovered record gets the portable loop's floats on every path, and a
// covered one keeps its start value or gets those same floats.
TEST(RowGather, CoveredRecordsMayBePassedOverTheOthersNever) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> deposit(0.0f, 1.0e4f);
    const std::vector<LevelStep> steps = kernel_row(rng, 5, -3);
    const int32_t first = 4, count = 61;
    std::vector<ZblurBackgroundPrefix> prefix(size_t(first + count + steps[4].x + 1));
    for (ZblurBackgroundPrefix& p : prefix)
        for (int c = 0; c < 5; ++c) p.v[c] = deposit(rng);
    std::vector<ZblurSourceRecord> start(size_t(first + count + 2), ZblurSourceRecord{});
    for (size_t i = 0; i < start.size(); ++i) {
        for (float& v : start[i].background) v = deposit(rng);
        if (i % 3 == 0 || (i >= 20 && i < 28)) start[i].flags = kZblurRecordCovered;
    }
    std::vector<ZblurSourceRecord> want = start;
    for (ZblurSourceRecord& r : want) r.flags = 0;
    gather_kernel_row(steps.data(), want.data(), first, first + count, prefix.data(),
                      SweepCode::portable);
    for (const SweepCode code : available_codes()) {
        std::vector<ZblurSourceRecord> got = start;
        gather_kernel_row(steps.data(), got.data(), first, first + count, prefix.data(), code);
        expect_rest_unchanged(got, start, sweep_code_name(code));
        for (size_t i = 0; i < got.size(); ++i)
            for (int c = 0; c < 5; ++c) {
                const float v = got[i].background[c];
                if (start[i].flags == 0)
                    ASSERT_EQ(v, want[i].background[c]) << sweep_code_name(code) << " " << i;
                else
                    ASSERT_TRUE(v == start[i].background[c] || v == want[i].background[c])
                        << sweep_code_name(code) << " " << i;
            }
    }
}

}  // namespace
