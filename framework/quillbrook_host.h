#pragma once

#include <cstdint>
#include <string>

#include "framework/measure.h"
#include "framework/quillbrook_plugin.h"
#include "framework/quillbrook_render_context.h"
#include "framework/thread_pool.h"

// The host-neutral plug-in object of one command. Its render context runs on the operating
// system alone (processor count, heap memory, no abort, frame 0): that is what a build without
// a host, such as a test harness running filters on plain buffers, gets. Host bindings replace
// the render context operations one by one.
class QuillbrookHost : public QuillbrookPlugin, public QuillbrookRenderContext {
public:
    QuillbrookHost(std::string name_in, std::string category_in, std::string description_in,
                   int32_t version_major_in, int32_t version_minor_in, int32_t version_revision_in);
    ~QuillbrookHost() override;

    int32_t progress(int32_t current, int32_t total) override;
    void* allocate(size_t bytes) override;
    void release(void* block) override;
    int32_t threadCount(int32_t maximum) override;
    int32_t runParallel(int32_t count, void* object, ParallelCallback callback) override;
    double currentFrame() override;

    virtual std::string sourceLayerName() const { return "Source"; }
    virtual std::string outputLayerName() const { return "Output"; }
    virtual int32_t noError() const { return 0; }
    virtual int32_t outOfMemoryError() const { return 1; }
    virtual int32_t abortError() const { return 2; }
    // A broken description of the work (a value outside its enumeration, a damaged structure).
    virtual int32_t internalError() const { return 3; }

    ThreadPool& threadPool() { return pool_; }
    Measure& measure() { return measure_; }

    // Logical processors of the machine, bounded to 1 .. ThreadPool::kMaxThreads.
    static int32_t systemThreadCount();

protected:
    // `total` threads from threadCount(-1), then the pool's run.
    int32_t runOnPool(int32_t count, void* object, ParallelCallback callback);

private:
    ThreadPool pool_;
    Measure measure_;
};
