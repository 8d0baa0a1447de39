#pragma once

#include <cstdint>
#include <mutex>

#include "framework/rectangle.h"
#include "framework/tile_set.h"
#include "imaging/quillbrook_filter.h"

// Frame of a filter that renders image tiles on the worker threads: each item of the parallel
// run is one worker's share, and the workers take tiles from a counter guarded by a lock until
// none is left. The kernel supplies process_tile. A tile's status other than no-error (a
// cancel from progress, a failed allocation) stops the worker that got it; the others stop at
// their own next report, and the status is what run_tiles returns.
class TiledFilter : public QuillbrookFilter {
public:
    using QuillbrookFilter::QuillbrookFilter;

    // The tile grid; the kernel sets it up (TileSet2D::init) before run_tiles.
    TileSet2D tiles;

protected:
    // Resets the tile counter and runs `worker_count` workers over the tiles. No workers:
    // no-error without touching the pool.
    int32_t run_tiles(int32_t worker_count);

    // Processes one tile. `tile_rect` is the tile's own pixel rectangle from the grid
    // (TileSet2D::tile, without the overflow, which the kernel adds); `thread_index` is the
    // pool slot, for per-thread buffers.
    virtual int32_t process_tile(int32_t tile, Rectangle tile_rect, int32_t thread_index) = 0;

    // One worker's share: takes tiles until they run out or one fails.
    int32_t render_callback(int32_t item, int32_t item_count, int32_t thread_index);
    // One tile between its two log lines.
    int32_t render_chunk(int32_t tile, int32_t item_count, int32_t thread_index);

private:
    int32_t take_tile();

    std::mutex next_tile_lock_;
    int32_t next_tile_ = 0;  // guarded by next_tile_lock_
};
