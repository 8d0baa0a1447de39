#include "qbrender/host_handles.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QB_HANDLE_POOL_POISON 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QB_HANDLE_POOL_POISON 1
#endif
#if QB_HANDLE_POOL_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Pooled memory is poisoned in address-sanitizer builds, so that an effect touching a handle
// after disposing of it is still caught although the memory stays mapped.
void poison(void* memory, uint64_t bytes) {
#if QB_HANDLE_POOL_POISON
    ASAN_POISON_MEMORY_REGION(memory, size_t(bytes == 0 ? 1 : bytes));
#else
    (void)memory;
    (void)bytes;
#endif
}

void unpoison(void* memory, uint64_t bytes) {
#if QB_HANDLE_POOL_POISON
    ASAN_UNPOISON_MEMORY_REGION(memory, size_t(bytes == 0 ? 1 : bytes));
#else
    (void)memory;
    (void)bytes;
#endif
}

constexpr uint64_t kMegabyte = uint64_t(1) << 20;

std::string megabytes(uint64_t bytes) {
    return std::to_string((bytes + kMegabyte / 2) / kMegabyte) + " MB";
}

// "MemAvailable:   23507344 kB" from /proc/meminfo, in bytes; 0 when missing.
uint64_t availableMemory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes >> unit) {
        if (key == "MemAvailable:") return kilobytes * 1024;
    }
    return 0;
}

// One number from a control-group file; 0 for "max", a missing file or a value beyond any real
// machine (cgroup v1 writes 2^63 rounded down to a page for "no limit").
uint64_t groupValue(const std::string& path) {
    std::ifstream file(path);
    uint64_t value = 0;
    if (!(file >> value)) return 0;
    return value >= (uint64_t(1) << 60) ? 0 : value;
}

// What the process's memory control group still allows (limit less usage), in bytes; 0 when
// there is no limit. Inside a container the group's own folder is usually mounted as the root
// of the hierarchy, so both the named path and the root are tried.
uint64_t groupMemoryLeft() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    std::vector<std::pair<std::string, std::string>> candidates;  // limit file, usage file
    while (std::getline(groups, line)) {
        const size_t first = line.find(':');
        const size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            for (const std::string& dir :
                 {"/sys/fs/cgroup" + path, std::string("/sys/fs/cgroup")}) {
                candidates.emplace_back(dir + "/memory.max", dir + "/memory.current");
            }
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            for (const std::string& dir :
                 {"/sys/fs/cgroup/memory" + path, std::string("/sys/fs/cgroup/memory")}) {
                candidates.emplace_back(dir + "/memory.limit_in_bytes",
                                        dir + "/memory.usage_in_bytes");
            }
        }
    }
    for (const auto& [limit_file, usage_file] : candidates) {
        const uint64_t limit = groupValue(limit_file);
        if (limit == 0) continue;
        const uint64_t usage = groupValue(usage_file);
        return limit > usage ? limit - usage : 1;
    }
    return 0;
}

std::string handleText(PF_Handle handle) {
    std::ostringstream text;
    text << static_cast<const void*>(handle);
    return text.str();
}

}  // namespace

uint64_t machineHandleMemory() {
    const uint64_t available = availableMemory();
    const uint64_t group = groupMemoryLeft();
    uint64_t memory = available == 0 ? group : group == 0 ? available : std::min(available, group);
    if (memory == 0) return 0;
    const uint64_t reserve = std::max(memory / 8, 256 * kMegabyte);
    // Never 0, which would mean no limit.
    return memory > reserve ? memory - reserve : 1;
}

HandleTable::HandleTable() : limit_(machineHandleMemory()) {}

HandleTable::~HandleTable() {
    disposeAll();
    releasePool();
}

bool HandleTable::withinLimit(uint64_t bytes) {
    if (limit_ == 0 || (live_bytes_ <= limit_ && bytes <= limit_ - live_bytes_)) return true;
    last_refusal_ = "asked for " + megabytes(bytes) + " with " + megabytes(live_bytes_) +
                    " in use, over the plug-in memory limit of " + megabytes(limit_);
    return false;
}

void HandleTable::setLimit(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    limit_ = bytes;
}

uint64_t HandleTable::limit() const {
    std::lock_guard<std::mutex> guard(lock_);
    return limit_;
}

uint64_t HandleTable::liveBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return live_bytes_;
}

std::string HandleTable::lastRefusal() const {
    std::lock_guard<std::mutex> guard(lock_);
    return last_refusal_;
}

void* HandleTable::newMemory(uint64_t bytes) {
    // A zero-byte handle is valid and still has an address of its own.
    return ::operator new(size_t(bytes == 0 ? 1 : bytes), std::align_val_t(16), std::nothrow);
}

void HandleTable::freeMemory(void* memory) { ::operator delete(memory, std::align_val_t(16)); }

void* HandleTable::takeMemory(uint64_t bytes) {
    const auto same = pool_.find(bytes);
    if (same != pool_.end()) {
        void* memory = same->second.back().memory;
        same->second.pop_back();
        if (same->second.empty()) pool_.erase(same);
        pooled_bytes_ -= bytes;
        unpoison(memory, bytes);
        return memory;
    }
    while (limit_ != 0 && !pool_.empty() && live_bytes_ + pooled_bytes_ + bytes > limit_) {
        const auto largest = std::prev(pool_.end());
        freePooled(largest->second, largest->first, largest->second.size());
        pool_.erase(largest);
    }
    void* memory = newMemory(bytes);
    if (memory == nullptr && !pool_.empty()) {
        for (auto& [size, blocks] : pool_) freePooled(blocks, size, blocks.size());
        pool_.clear();
        memory = newMemory(bytes);
    }
    if (memory != nullptr) ++fresh_allocations_;
    return memory;
}

void HandleTable::giveMemory(void* memory, uint64_t bytes) {
    poison(memory, bytes);
    pool_[bytes].push_back(Pooled{memory, frame_});
    pooled_bytes_ += bytes;
}

void HandleTable::freePooled(std::vector<Pooled>& blocks, uint64_t bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        unpoison(blocks[i].memory, bytes);
        freeMemory(blocks[i].memory);
    }
    blocks.erase(blocks.begin(), blocks.begin() + ptrdiff_t(count));
    pooled_bytes_ -= bytes * count;
}

uint64_t HandleTable::freshAllocationCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return fresh_allocations_;
}

uint64_t HandleTable::pooledBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pooled_bytes_;
}

void HandleTable::trimPool() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = pool_.begin(); it != pool_.end();) {
        std::vector<Pooled>& blocks = it->second;
        // Blocks are given back in frame order, so the stale ones lead.
        size_t stale = 0;
        while (stale < blocks.size() && blocks[stale].frame + kPoolFrames <= frame_) ++stale;
        freePooled(blocks, it->first, stale);
        it = blocks.empty() ? pool_.erase(it) : std::next(it);
    }
    ++frame_;
}

void HandleTable::releasePool() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [bytes, blocks] : pool_) freePooled(blocks, bytes, blocks.size());
    pool_.clear();
}

PF_Handle HandleTable::allocate(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    ++allocations_;
    if (fail_at_ != 0 && allocations_ >= fail_at_) return nullptr;
    if (!withinLimit(bytes) || bytes > (uint64_t(1) << 40)) return nullptr;
    void* memory = takeMemory(bytes);
    if (memory == nullptr) return nullptr;
    live_bytes_ += bytes;
    auto block = std::make_unique<Block>(Block{memory, bytes, 0});
    Block* key = block.get();
    blocks_.emplace(key, std::move(block));
    return reinterpret_cast<PF_Handle>(key);
}

HandleTable::Block* HandleTable::find(PF_Handle handle, const char* operation) {
    const auto it = blocks_.find(reinterpret_cast<Block*>(handle));
    if (it != blocks_.end()) return it->second.get();
    faults_.push_back(std::string(operation) + " of " +
                      (handle == nullptr ? std::string("a null handle")
                                         : "unknown or disposed handle " + handleText(handle)));
    return nullptr;
}

void* HandleTable::lock(PF_Handle handle) {
    std::lock_guard<std::mutex> guard(lock_);
    Block* block = find(handle, "host_lock_handle");
    if (block == nullptr) return nullptr;
    ++block->locks;
    return block->data;
}

void HandleTable::unlock(PF_Handle handle) {
    std::lock_guard<std::mutex> guard(lock_);
    Block* block = find(handle, "host_unlock_handle");
    if (block == nullptr) return;
    if (block->locks == 0) {
        faults_.push_back("host_unlock_handle of handle " + handleText(handle) +
                          ", which is not locked");
        return;
    }
    --block->locks;
}

void HandleTable::dispose(PF_Handle handle) {
    std::lock_guard<std::mutex> guard(lock_);
    Block* block = find(handle, "host_dispose_handle");
    if (block == nullptr) return;
    giveMemory(block->data, block->size);
    live_bytes_ -= block->size;
    blocks_.erase(block);
}

uint64_t HandleTable::size(PF_Handle handle) {
    std::lock_guard<std::mutex> guard(lock_);
    Block* block = find(handle, "host_get_handle_size");
    return block == nullptr ? 0 : block->size;
}

PF_Err HandleTable::resize(uint64_t bytes, PF_Handle* handle) {
    std::lock_guard<std::mutex> guard(lock_);
    if (handle == nullptr) {
        faults_.push_back("host_resize_handle without a handle");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    Block* block = find(*handle, "host_resize_handle");
    if (block == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    if (block->locks > 0) {
        faults_.push_back("host_resize_handle of locked handle " + handleText(*handle));
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    ++allocations_;
    // The old block is still held while the new one is filled.
    if ((fail_at_ != 0 && allocations_ >= fail_at_) || !withinLimit(bytes) ||
        bytes > (uint64_t(1) << 40)) {
        return PF_Err_OUT_OF_MEMORY;
    }
    void* memory = takeMemory(bytes);
    if (memory == nullptr) return PF_Err_OUT_OF_MEMORY;
    std::memcpy(memory, block->data, size_t(std::min(bytes, block->size)));
    giveMemory(block->data, block->size);
    live_bytes_ = live_bytes_ - block->size + bytes;
    block->data = memory;
    block->size = bytes;
    return PF_Err_NONE;
}

bool HandleTable::contains(PF_Handle handle) const {
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_.count(reinterpret_cast<Block*>(handle)) != 0;
}

size_t HandleTable::liveCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_.size();
}

uint64_t HandleTable::allocationCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return allocations_;
}

void HandleTable::failFrom(uint64_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    fail_at_ = n == 0 ? 0 : allocations_ + n;
}

size_t HandleTable::disposeAll(PF_Handle keep) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t count = 0;
    for (auto it = blocks_.begin(); it != blocks_.end();) {
        if (reinterpret_cast<PF_Handle>(it->first) == keep) {
            ++it;
            continue;
        }
        giveMemory(it->second->data, it->second->size);
        live_bytes_ -= it->second->size;
        it = blocks_.erase(it);
        ++count;
    }
    return count;
}

std::vector<std::string> HandleTable::takeFaults() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> faults;
    faults.swap(faults_);
    return faults;
}
