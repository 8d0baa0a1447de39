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
//
// Beside them, the integer pixel conversions of the blur, in double precision like the
// portable code they replace, bit-identical in every build too.
namespace fft_vector {

// Integer host pixels (8 or 16 bits per channel, channel maximum `max` 255 or 32768, alpha,
// red, green, blue in memory order) into image-buffer pixels of `channels` floats (4, or 5 with
// the weight, which is set to 1) on the 0 .. 1 scale, without highlight boost:
//   straight colours are premultiplied by alpha / max; alpha becomes max(alpha / max, 0);
//   colours are clamped to 0 .. max and become decode[trunc(c / max * 32767)], or c / max
//   when decode is null.
struct InputConversion {
    double max;
    bool straight;
    const float* decode;
    int32_t channels;
};

// Image-buffer pixels of `channels` floats back into integer host pixels:
//   scales s (alpha, red, green, blue), each multiplied by boost / f when `boosted` and the
//   fifth float f is above 0; a = min(max(s_A A, 0), max), colours max(s c, 0) (NaN gives 0);
//   colours become encode[trunc(min(c, max) / max * 32767)], times max / a when `straight` and
//   float(a) > 0; every channel is stored as trunc(clamp(v + 0.5, 0, max)).
struct OutputConversion {
    double max;
    bool straight;
    const float* encode;
    int32_t channels;
    double scale[4];
    bool boosted;
    double boost;
};

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

    // `count` pixels of a host row into the image buffer, and back (see the structs above).
    void (*input_row_8)(const uint8_t* in, int32_t count, const InputConversion& c, float* out);
    void (*input_row_16)(const uint16_t* in, int32_t count, const InputConversion& c, float* out);
    void (*output_row_8)(const float* in, int32_t count, const OutputConversion& c, uint8_t* out);
    void (*output_row_16)(const float* in, int32_t count, const OutputConversion& c, uint16_t* out);
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
