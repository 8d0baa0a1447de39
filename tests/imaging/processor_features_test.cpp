#include "imaging/processor_features.h"

#include <gtest/gtest.h>

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

#if defined(__x86_64__) || defined(__i386__)
// The features read straight from CPUID and XGETBV, as the processor manuals give the bits,
// without the compiler's feature names: the vector registers count only where the operating
// system saves them (XCR0: SSE and AVX state for 256 bits, and the mask and upper 512-bit state
// for AVX-512).
struct RawFeatures {
    bool sse4 = false, avx2 = false, avx3 = false;
};

RawFeatures read_raw_features() {
    RawFeatures f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
    const auto bit = [](unsigned word, int n) { return (word >> n & 1u) != 0; };
    f.sse4 = bit(c, 9) && bit(c, 19) && bit(c, 20) && bit(c, 1) && bit(c, 25);  // +PCLMUL, AES
    const bool avx = bit(c, 28), osxsave = bit(c, 27), fma = bit(c, 12), f16c = bit(c, 29);
    uint64_t xcr0 = 0;
    if (osxsave) {
        uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = uint64_t(hi) << 32 | lo;
    }
    unsigned b7 = 0, c7 = 0, d7 = 0, a7 = 0;
    if (__get_cpuid_count(7, 0, &a7, &b7, &c7, &d7) == 0) return f;
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;
    const bool zmm_saved = (xcr0 & 0xe6) == 0xe6;
    f.avx2 = f.sse4 && avx && ymm_saved && bit(b7, 5) && bit(b7, 3) && bit(b7, 8) && fma && f16c;
    f.avx3 = f.avx2 && zmm_saved && bit(b7, 16) && bit(b7, 17) && bit(b7, 30) && bit(b7, 31);
    return f;
}

TEST(ProcessorFeatures, AgreeWithTheRawFeatureBits) {
    const RawFeatures raw = read_raw_features();
    EXPECT_EQ(processor_runs(VectorBuild::sse4), raw.sse4);
    EXPECT_EQ(processor_runs(VectorBuild::avx2), raw.avx2);
    EXPECT_EQ(processor_runs(VectorBuild::avx3), raw.avx3);
    // The answers are cached: asking again gives the same.
    EXPECT_EQ(processor_runs(VectorBuild::avx3), raw.avx3);
}
#else
TEST(ProcessorFeatures, NoneOutsideX86) {
    EXPECT_FALSE(processor_runs(VectorBuild::sse4));
    EXPECT_FALSE(processor_runs(VectorBuild::avx2));
    EXPECT_FALSE(processor_runs(VectorBuild::avx3));
}
#endif

}  // namespace
