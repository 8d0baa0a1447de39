#include "framework/quillbrook_host.h"

#include <algorithm>
#include <new>
#include <thread>

namespace {

// Blocks from allocate() are aligned for 128-bit vector loads of four floats.
constexpr std::align_val_t kBlockAlignment{16};

}  // namespace

QuillbrookHost::QuillbrookHost(std::string name_in, std::string category_in,
                               std::string description_in, int32_t version_major_in,
                               int32_t version_minor_in, int32_t version_revision_in)
    : QuillbrookPlugin(std::move(name_in), std::move(category_in), std::move(description_in),
                       version_major_in, version_minor_in, version_revision_in) {}

QuillbrookHost::~QuillbrookHost() = default;

int32_t QuillbrookHost::progress(int32_t current, int32_t total) {
    (void)current;
    (void)total;
    return noError();
}

void* QuillbrookHost::allocate(size_t bytes) {
    // A zero-byte request still gets a distinct block, so null always means out of memory.
    return ::operator new[](std::max<size_t>(bytes, 1), kBlockAlignment, std::nothrow);
}

void QuillbrookHost::release(void* block) {
    if (block != nullptr) ::operator delete[](block, kBlockAlignment);
}

int32_t QuillbrookHost::systemThreadCount() {
    const unsigned processors = std::thread::hardware_concurrency();
    return static_cast<int32_t>(
        std::clamp<unsigned>(processors, 1, static_cast<unsigned>(ThreadPool::kMaxThreads)));
}

int32_t QuillbrookHost::threadCount(int32_t maximum) {
    int32_t n = systemThreadCount();
    if (maximum > 0 && n >= maximum) n = maximum;
    return n;
}

int32_t QuillbrookHost::runParallel(int32_t count, void* object, ParallelCallback callback) {
    return runOnPool(count, object, callback);
}

int32_t QuillbrookHost::runOnPool(int32_t count, void* object, ParallelCallback callback) {
    pool_.init(threadCount(-1));
    return pool_.run(count, object, callback);
}

double QuillbrookHost::currentFrame() { return 0.0; }
