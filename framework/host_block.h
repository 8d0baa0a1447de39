#pragma once

#include <cstddef>
#include <utility>

#include "framework/quillbrook_render_context.h"

// Sole owner of one memory block of a render context: gives it back exactly once, when the
// owner is reset, assigned another block or destroyed, on every way out including exceptions.
// Move-only, since a copy would give the block back twice. The context must outlive the owner.
class HostBlock {
public:
    HostBlock() = default;
    // Takes over `block`, which came from context.allocate() (null makes an empty owner).
    HostBlock(QuillbrookRenderContext& context, void* block) noexcept
        : context_(block != nullptr ? &context : nullptr), block_(block) {}
    ~HostBlock() { reset(); }

    HostBlock(const HostBlock&) = delete;
    HostBlock& operator=(const HostBlock&) = delete;
    HostBlock(HostBlock&& other) noexcept
        : context_(std::exchange(other.context_, nullptr)),
          block_(std::exchange(other.block_, nullptr)) {}
    HostBlock& operator=(HostBlock&& other) noexcept {
        if (this != &other) {
            reset();
            context_ = std::exchange(other.context_, nullptr);
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }

    // A block of at least `bytes` bytes from `context`; empty when the context has no memory.
    static HostBlock allocate(QuillbrookRenderContext& context, size_t bytes) {
        return HostBlock(context, context.allocate(bytes));
    }

    void* get() const noexcept { return block_; }
    template <class T>
    T* as() const noexcept {
        return static_cast<T*>(block_);
    }
    explicit operator bool() const noexcept { return block_ != nullptr; }

    // Gives the block back now; the owner is empty afterwards.
    void reset() noexcept {
        if (block_ != nullptr) context_->release(block_);
        context_ = nullptr;
        block_ = nullptr;
    }

    // Hands the block to the caller, who must give it back to the context itself.
    [[nodiscard]] void* detach() noexcept {
        context_ = nullptr;
        return std::exchange(block_, nullptr);
    }

private:
    QuillbrookRenderContext* context_ = nullptr;
    void* block_ = nullptr;
};
