#include "host_handles.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sstream>

namespace {

std::string handleText(PF_Handle handle) {
    std::ostringstream text;
    text << static_cast<const void*>(handle);
    return text.str();
}

}  // namespace

HandleTable::~HandleTable() { disposeAll(); }

void* HandleTable::newMemory(uint64_t bytes) {
    // A zero-byte handle is valid and still has an address of its own.
    return ::operator new(size_t(bytes == 0 ? 1 : bytes), std::align_val_t(16), std::nothrow);
}

void HandleTable::freeMemory(void* memory) { ::operator delete(memory, std::align_val_t(16)); }

PF_Handle HandleTable::allocate(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    ++allocations_;
    if (fail_at_ != 0 && allocations_ >= fail_at_) return nullptr;
    if (bytes > (uint64_t(1) << 40)) return nullptr;
    void* memory = newMemory(bytes);
    if (memory == nullptr) return nullptr;
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
    freeMemory(block->data);
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
    if ((fail_at_ != 0 && allocations_ >= fail_at_) || bytes > (uint64_t(1) << 40)) {
        return PF_Err_OUT_OF_MEMORY;
    }
    void* memory = newMemory(bytes);
    if (memory == nullptr) return PF_Err_OUT_OF_MEMORY;
    std::memcpy(memory, block->data, size_t(std::min(bytes, block->size)));
    freeMemory(block->data);
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
        freeMemory(it->second->data);
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
