// Leak checker settings for sanitizer builds of these tests; unused in other builds.
//
// The image library's PNG reader leaks one error string when it stops reading a truncated PNG
// (its read callback jumps out through the PNG library past the string's destructor). The
// truncated-file tests trigger it on purpose; it is not a leak of ours. Matching it needs full
// stack unwinding at allocation: the fast unwinder stops inside the C++ runtime. The sanitizer
// runtime looks these hooks up by name, so they must stay visible under the project's hidden
// default visibility.
#define QB_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))
QB_SANITIZER_HOOK const char* __asan_default_options();
QB_SANITIZER_HOOK const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

QB_SANITIZER_HOOK const char* __lsan_default_suppressions();
QB_SANITIZER_HOOK const char* __lsan_default_suppressions() {
    return "leak:OpenImageIO_v2_4::PNGInput::PngReadCallback\n";
}
