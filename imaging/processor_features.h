#pragma once

// The vector instruction sets that the plug-ins' wide code is compiled for, and whether the
// processor at hand runs them. Each set is the full list of features that the compiler may use
// in a function compiled for it (Highway's target of the same name: its SSE4 with PCLMUL and
// AES, its AVX2 with BMI, BMI2, FMA and F16C, its AVX-512 with F, VL, DQ and BW), so that a
// check passes only where every instruction the compiler could emit there is present.
enum class VectorBuild { sse4, avx2, avx3 };

// Asked of the processor once per build and cached; false on processors other than x86.
// Thread-safe.
bool processor_runs(VectorBuild build);
