// Sanitizer settings for sanitizer builds of these tests; unused in other builds.
//
// The image library runs its own worker threads, and it is not built with the thread
// sanitizer: hand-offs inside it (a buffer filled by its worker, read by ours after its own
// lock) look like races to the sanitizer. Only stacks through that library are suppressed.
// The leak suppression is the one of tests/qbrender: the library's PNG reader leaks an error
// string when it stops reading a damaged file. The sanitizer runtime looks these hooks up by
// name, so they must stay visible under the project's hidden default visibility.
#define QB_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))
QB_SANITIZER_HOOK const char* __tsan_default_suppressions();
QB_SANITIZER_HOOK const char* __tsan_default_suppressions() {
    return "race:libOpenImageIO_Util.so\nrace:libOpenImageIO.so\n";
}

QB_SANITIZER_HOOK const char* __asan_default_options();
QB_SANITIZER_HOOK const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

QB_SANITIZER_HOOK const char* __lsan_default_suppressions();
QB_SANITIZER_HOOK const char* __lsan_default_suppressions() {
    return "leak:OpenImageIO_v2_4::PNGInput::PngReadCallback\n";
}
