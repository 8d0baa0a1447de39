#pragma once

#include <cstdint>

// The arithmetic of the transforms and of the spectrum product, compiled once per instruction
// set (a portable build that runs everywhere, and 128-, 256- and 512-bit x86 builds) from one
// source, and chosen at run time by what the processor supports.
//
// Lane blocks: an element of a lane block is 2 * lanes floats, `lanes` real parts followed by
// `lanes` imaginary parts, and every lane (a channel of one pixel, or the same channel of
// several rows or columns) goes through the same butterflies. `lanes` is a multiple of 4; the
// kernels cover it with the widest vectors of their instruction set and finish with narrower
// ones. Every lane sees the same single-precision operations in the same order in every build
// (no fused multiply-adds), so all builds give bit-identical results; only the speed differs.
// Pointers need no alignment beyond that of float.
namespace fft_vector {

struct Kernels {
    // Short name of the instruction set ("portable", "sse4", "avx2", "avx512").
    const char* name;
    // Floats per vector register of the widest vectors used.
    int32_t vector_floats;

    // Butterflies of a complex transform of n elements (a power of two) whose input is in
    // bit-reversed order; wr/wi are the twiddles of buildComplexTwiddles. No scaling.
    void (*butterflies)(float* data, int32_t lanes, int32_t n, const float* wr, const float* wi);
    // Exchanges element i with element reverse[i] wherever reverse[i] > i.
    void (*bit_reverse)(float* data, int32_t lanes, int32_t n, const int32_t* reverse);
    // Split step after the forward complex transform of the n sample pairs of a row, in place
    // on n + 1 elements: afterwards they hold the row's half spectrum, element n the Nyquist
    // term, imaginary parts of elements 0 and n zero. swr/swi from buildSplitTwiddles.
    void (*split_forward)(float* data, int32_t lanes, int32_t n, const float* swr,
                          const float* swi);
    // Inverse split step on the n + 1 elements of a half spectrum; afterwards elements
    // 0 .. n-1 are ready for the inverse complex transform (element n is left as it was).
    void (*split_inverse)(float* data, int32_t lanes, int32_t n, const float* swr,
                          const float* swi);
    // Multiplies `elements` complex elements of a pixel row of A (channels_a = 4 or 5 floats
    // per pixel, pixel 2k the real parts and 2k + 1 the imaginary parts of element k), in
    // place, by those of B (channels_b = 1 or 4). A one-float B multiplies every channel; a
    // four-float B pairs channel c with channel c, and A's fifth float with B's channel
    // `weight_partner`. Products in single precision: (ar br - ai bi, ar bi + ai br).
    void (*multiply_row)(float* a, int32_t channels_a, const float* b, int32_t channels_b,
                         int32_t weight_partner, int32_t elements);
};

// The portable build: runs on every processor the program runs on.
const Kernels& portableKernels();

// The widest build that this processor runs. The choice is made once, on the first call, and
// is thread-safe; the filters make that call before they start parallel work.
const Kernels& bestKernels();

// Every build of this program that this processor runs, widest first, the portable one last;
// `count` receives their number. For tests and benchmarks.
const Kernels* const* runnableKernels(int32_t& count);

}  // namespace fft_vector
