#include "imaging/tiled_filter.h"

#include "framework/logger.h"
#include "framework/quillbrook_host.h"

int32_t TiledFilter::run_tiles(int32_t worker_count) {
    {
        std::lock_guard<std::mutex> guard(next_tile_lock_);
        next_tile_ = 0;
    }
    if (worker_count <= 0) return host->noError();
    return host->runParallelOn<&TiledFilter::render_callback>(worker_count, this);
}

int32_t TiledFilter::take_tile() {
    std::lock_guard<std::mutex> guard(next_tile_lock_);
    return next_tile_++;
}

int32_t TiledFilter::render_callback(int32_t item, int32_t item_count, int32_t thread_index) {
    LogEntry(Logger::kInfo) << "tread index: " << item << " - Entering render callback\n";
    const int32_t tile_count = tiles.rows * tiles.cols;
    int32_t status = host->noError();
    for (int32_t t = take_tile(); t < tile_count; t = take_tile()) {
        LogEntry(Logger::kInfo) << "tread index: " << item << " - calling render chunk for tile "
                                << t << " of " << tile_count << "\n";
        status = render_chunk(t, item_count, thread_index);
        if (status != host->noError()) return status;
    }
    return status;
}

int32_t TiledFilter::render_chunk(int32_t tile, int32_t item_count, int32_t thread_index) {
    LogEntry(Logger::kInfo) << "tread index: " << tile << " - entering render_chunk (thread_index ("
                            << tile << "), thread_iterations (" << item_count << "), threadID ("
                            << thread_index << ")\n";
    const int32_t status = process_tile(tile, tiles.tile(tile), thread_index);
    LogEntry(Logger::kInfo) << "tread index: " << tile << " - return (" << status
                            << ") thread_index (" << tile << "), thread_iterations (" << item_count
                            << "), threadID (" << thread_index << ")\n";
    return status;
}
