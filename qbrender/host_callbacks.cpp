#include "qbrender/host_callbacks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "qbrender/effect_session.h"
#include "qbrender/host_names.h"
#include "qbrender/host_pixels.h"
#include "qbrender/interrupt_flag.h"
#include "qbrender/progress_bar.h"

namespace {

std::atomic<EffectSession*> g_active{nullptr};

// Marks the channel references this host hands out: 'QBCH'.
constexpr A_intptr_t kChannelMagic = 0x51424348;

}  // namespace

// The functions below are members so that they may use the session's private state; the
// records hold plain function pointers to them.
struct HostCallbacksImpl {
    static EffectSession* session(PF_ProgPtr effect_ref) {
        EffectSession* active = g_active.load();
        if (active != nullptr && reinterpret_cast<PF_ProgPtr>(active) == effect_ref) return active;
        if (active != nullptr) {
            active->fault(commandName(active->current_command_) +
                          ": a callback got an effect reference that is not the command's");
        }
        return nullptr;
    }

    // Interact and smart-render callbacks belong to the host's thread.
    static bool onHostThread(EffectSession* s, const char* callback) {
        if (std::this_thread::get_id() == s->host_thread_) return true;
        s->fault(commandName(s->current_command_) + ": " + callback +
                 " was called from a thread other than the host's");
        return false;
    }

    static bool duringCommand(EffectSession* s, PF_Cmd expected, const char* callback) {
        if (s->current_command_ == expected) return true;
        s->fault(commandName(s->current_command_) + ": " + callback + " belongs to " +
                 commandName(expected));
        return false;
    }

    // Runs `body` and turns an exception into a failure the session rethrows later.
    template <class Body>
    static PF_Err guarded(EffectSession* s, Body body) noexcept {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            return PF_Err_OUT_OF_MEMORY;
        } catch (...) {
            if (!s->pending_exception_) s->pending_exception_ = std::current_exception();
            return PF_Err_BAD_CALLBACK_PARAM;
        }
    }

    static std::string paramName(EffectSession* s, int position) {
        return position == 0 ? std::string("input") : s->params_.at(position).name();
    }

    // ---- interact callbacks ----

    static PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long what_time,
                                A_long time_step, A_u_long time_scale, PF_ParamDef* param) {
        (void)time_step;
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "checkout_param")) return PF_Err_BAD_CALLBACK_PARAM;
        if (param == nullptr) {
            s->fault(commandName(s->current_command_) + ": checkout_param without a record");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (index < 0 || index >= s->params_.count()) return PF_Err_INVALID_INDEX;
        if (s->params_.at(index).type() == PF_Param_LAYER) {
            if (const PF_Err injected = checkoutFault(s, index)) return injected;
        }
        EffectSession::HostWork work(*s);
        return guarded(s, [&]() -> PF_Err {
            EffectSession::ParamCheckout checkout{param, index, nullptr, 0};
            PF_ParamDef def = s->params_.at(index).def;
            def.uu.change_flags = PF_ChangeFlag_NONE;
            if (def.param_type == PF_Param_LAYER) {
                checkout.world =
                    s->layerWorld(index, s->frameOfTime(what_time, time_scale), nullptr);
                checkout.checksum = checkout.world->pixelChecksum();
                def.u.ld = *checkout.world->def();
            } else if (def.param_type == PF_Param_POINT) {
                def.u.td.x_value /= s->downsample_;
                def.u.td.y_value /= s->downsample_;
            }
            *param = def;
            s->param_checkouts_.push_back(std::move(checkout));
            return PF_Err_NONE;
        });
    }

    static PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef* param) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "checkin_param")) return PF_Err_BAD_CALLBACK_PARAM;
        auto& list = s->param_checkouts_;
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const auto& c) { return c.record == param; });
        // A copy of a checked-out record is accepted: a layer by its pixels, anything else by
        // its position (the latest checkout of it).
        if (it == list.end() && param != nullptr && param->param_type == PF_Param_LAYER &&
            param->u.ld.data != nullptr) {
            it = std::find_if(list.begin(), list.end(), [&](const auto& c) {
                return c.world && c.world->def()->data == param->u.ld.data;
            });
        }
        if (it == list.end() && param != nullptr) {
            for (auto r = list.rbegin(); r != list.rend(); ++r) {
                if (s->params_.at(r->position).type() == param->param_type &&
                    (param->param_type != PF_Param_LAYER || !r->world->hasPixels())) {
                    it = std::next(r).base();
                    break;
                }
            }
        }
        if (it == list.end()) {
            s->fault(commandName(s->current_command_) +
                     ": checkin_param of a parameter that is not checked out");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        EffectSession::HostWork work(*s);
        if (it->world) {
            s->checkWorld(*it->world, "layer parameter '" + paramName(s, it->position) + "'",
                          it->checksum, true);
        }
        list.erase(it);
        return PF_Err_NONE;
    }

    static PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "add_param")) return PF_Err_BAD_CALLBACK_PARAM;
        if (!duringCommand(s, PF_Cmd_PARAMS_SETUP, "add_param")) return PF_Err_BAD_CALLBACK_PARAM;
        if (def == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        return guarded(s, [&]() -> PF_Err {
            std::vector<std::string> faults;
            const PF_Err error = s->params_.add(index, *def, &faults);
            for (const auto& f : faults) s->fault("PF_Cmd_PARAMS_SETUP: " + f);
            return error;
        });
    }

    // Called on the host's thread only (progress and abort refuse other threads), so the
    // time of the first cancel needs no lock.
    static PF_Err cancelAnswer(EffectSession* s) {
        const int64_t after = s->cancel_after_;
        const bool cancel =
            cancelRequested() || (after > 0 && s->frame_progress_calls_.load() >= after);
        if (!cancel) return PF_Err_NONE;
        if (!s->cancel_answered_at_) s->cancel_answered_at_ = std::chrono::steady_clock::now();
        return PF_Interrupt_CANCEL;
    }

    static PF_Err abortCheck(PF_ProgPtr ref) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "abort")) return PF_Err_BAD_CALLBACK_PARAM;
        return cancelAnswer(s);
    }

    static PF_Err progress(PF_ProgPtr ref, A_long current, A_long total) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "progress")) return PF_Err_BAD_CALLBACK_PARAM;
        ++s->progress_calls_;
        ++s->frame_progress_calls_;
        if (s->settings_.progress_bar != nullptr) s->settings_.progress_bar->update(current, total);
        return cancelAnswer(s);
    }

    // The injected checkout failure for the layer parameter at `position`, else PF_Err_NONE.
    static PF_Err checkoutFault(EffectSession* s, int position) {
        const auto& failing = s->settings_.failing_checkouts;
        if (failing.empty()) return PF_Err_NONE;
        const std::string name = paramName(s, position);
        return std::find(failing.begin(), failing.end(), name) != failing.end()
                   ? kFailedCheckoutError
                   : PF_Err_NONE;
    }

    // ---- smart pre-render and smart render ----

    static PF_Err checkoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long checkout_id,
                                const PF_RenderRequest* req, A_long what_time, A_long time_step,
                                A_u_long time_scale, PF_CheckoutResult* result) {
        (void)time_step;
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "checkout_layer") ||
            !duringCommand(s, PF_Cmd_SMART_PRE_RENDER, "checkout_layer")) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (req == nullptr || result == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        if (index < 0 || index >= s->params_.count() ||
            s->params_.at(index).type() != PF_Param_LAYER) {
            s->fault("PF_Cmd_SMART_PRE_RENDER: checkout_layer of position " +
                     std::to_string(index) + ", which is not a layer parameter");
            return PF_Err_INVALID_INDEX;
        }
        if (s->settings_.fail_layer_requests) {
            if (const PF_Err injected = checkoutFault(s, index)) return injected;
        }
        EffectSession::HostWork work(*s);
        return guarded(s, [&]() -> PF_Err {
            if (s->layer_checkouts_.count(checkout_id) != 0) {
                s->fault("PF_Cmd_SMART_PRE_RENDER: checkout id " + std::to_string(checkout_id) +
                         " is used twice");
            }
            EffectSession::LayerCheckout checkout{
                index, s->frameOfTime(what_time, time_scale), Rectangle{}, false, nullptr, 0};
            PF_CheckoutResult r{};
            r.par = s->pixel_aspect_;
            if (LayerSource* source = s->layerSource(index)) {
                const HostPlane& plane = source->plane(checkout.frame, s->depth_, s->downsample_);
                const Rectangle full{0, plane.width, 0, plane.height};
                const Rectangle wanted{req->rect.left, req->rect.right, req->rect.top,
                                       req->rect.bottom};
                Rectangle got{std::max(wanted.left, 0), std::min(wanted.right, plane.width),
                              std::max(wanted.top, 0), std::min(wanted.bottom, plane.height)};
                if (got.empty()) got = Rectangle{};
                checkout.rect = got;
                checkout.connected = true;
                r.result_rect = PF_LRect{got.left, got.top, got.right, got.bottom};
                r.max_result_rect = PF_LRect{full.left, full.top, full.right, full.bottom};
                r.ref_width = plane.width;
                r.ref_height = plane.height;
            }
            *result = r;
            s->layer_checkouts_[checkout_id] = std::move(checkout);
            return PF_Err_NONE;
        });
    }

    static PF_Err guidMixIn(PF_ProgPtr ref, A_u_long size, const void* buffer) {
        (void)size;
        (void)buffer;
        return session(ref) != nullptr ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
    }

    static PF_Err checkoutLayerPixels(PF_ProgPtr ref, A_long checkout_id, PF_EffectWorld** pixels) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "checkout_layer_pixels") ||
            !duringCommand(s, PF_Cmd_SMART_RENDER, "checkout_layer_pixels")) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (pixels == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        *pixels = nullptr;
        const auto it = s->layer_checkouts_.find(checkout_id);
        if (it == s->layer_checkouts_.end()) {
            s->fault("PF_Cmd_SMART_RENDER: checkout_layer_pixels of checkout id " +
                     std::to_string(checkout_id) + ", which smart pre-render did not check out");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        EffectSession::LayerCheckout& checkout = it->second;
        if (const PF_Err injected = checkoutFault(s, checkout.position)) return injected;
        if (!checkout.connected || checkout.rect.empty()) return PF_Err_NONE;
        EffectSession::HostWork work(*s);
        return guarded(s, [&]() -> PF_Err {
            if (!checkout.world) {
                checkout.world = s->layerWorld(checkout.position, checkout.frame, &checkout.rect);
                checkout.checksum = checkout.world->pixelChecksum();
            }
            *pixels = checkout.world->def();
            return PF_Err_NONE;
        });
    }

    static PF_Err checkinLayerPixels(PF_ProgPtr ref, A_long checkout_id) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "checkin_layer_pixels")) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        const auto it = s->layer_checkouts_.find(checkout_id);
        if (it == s->layer_checkouts_.end()) {
            s->fault("PF_Cmd_SMART_RENDER: checkin_layer_pixels of unknown checkout id " +
                     std::to_string(checkout_id));
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        EffectSession::HostWork work(*s);
        if (it->second.world) {
            s->checkWorld(*it->second.world,
                          "layer '" + paramName(s, it->second.position) + "' (checkout id " +
                              std::to_string(checkout_id) + ")",
                          it->second.checksum, true);
            it->second.world.reset();
        }
        return PF_Err_NONE;
    }

    static PF_Err checkoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "checkout_output") ||
            !duringCommand(s, PF_Cmd_SMART_RENDER, "checkout_output")) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (output == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        EffectSession::HostWork work(*s);
        return guarded(s, [&]() -> PF_Err {
            if (!s->smart_output_) {
                const Rectangle& r = s->smart_result_rect_;
                s->smart_output_ = std::make_unique<HostWorld>(r.width(), r.height(), s->depth_,
                                                               r.left, r.top, true);
                s->smart_output_->def()->pix_aspect_ratio = s->pixel_aspect_;
            }
            *output = s->smart_output_->def();
            return PF_Err_NONE;
        });
    }

    // ---- memory handles: any thread ----

    static HandleTable* handles() {
        EffectSession* s = g_active.load();
        return s != nullptr ? &s->handles_ : nullptr;
    }

    static PF_Handle newHandle(A_u_longlong size) {
        HandleTable* h = handles();
        return h != nullptr ? h->allocate(size) : nullptr;
    }
    static void* lockHandle(PF_Handle handle) {
        HandleTable* h = handles();
        return h != nullptr ? h->lock(handle) : nullptr;
    }
    static void unlockHandle(PF_Handle handle) {
        if (HandleTable* h = handles()) h->unlock(handle);
    }
    static void disposeHandle(PF_Handle handle) {
        if (HandleTable* h = handles()) h->dispose(handle);
    }
    static A_u_longlong handleSize(PF_Handle handle) {
        HandleTable* h = handles();
        return h != nullptr ? h->size(handle) : 0;
    }
    static PF_Err resizeHandle(A_u_longlong size, PF_Handle* handle) {
        HandleTable* h = handles();
        return h != nullptr ? h->resize(size, handle) : PF_Err_BAD_CALLBACK_PARAM;
    }

    // ---- the C library ----

    // The host's sprintf has no buffer size: the caller keeps the text within its buffer (the
    // about text within the 256 bytes of return_msg).
    static int hostSprintf(A_char* buffer, const A_char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = std::vsprintf(buffer, format, args);
        va_end(args);
        return n;
    }

    static A_char* hostStrcpy(A_char* destination, const A_char* source) {
        return std::strcpy(destination, source);
    }

    // Calls `fn` `iterations` times spread over the host's threads (the calling thread
    // included); PF_Iterations_ONCE_PER_PROCESSOR calls it exactly once on each of them.
    static PF_Err iterateGeneric(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
        EffectSession* s = g_active.load();
        if (s == nullptr || fn == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        const bool per_processor = iterations == PF_Iterations_ONCE_PER_PROCESSOR;
        if (!per_processor && iterations < 0) return PF_Err_BAD_CALLBACK_PARAM;
        const A_long count = per_processor ? A_long(s->settings_.threads) : iterations;
        const int threads = int(std::min<A_long>(s->settings_.threads, std::max<A_long>(count, 1)));
        std::atomic<A_long> next{0};
        std::atomic<PF_Err> first_error{PF_Err_NONE};
        const auto work = [&](int thread_index) {
            if (per_processor) {
                const PF_Err e = fn(refcon, thread_index, thread_index, count);
                PF_Err none = PF_Err_NONE;
                if (e != PF_Err_NONE) first_error.compare_exchange_strong(none, e);
                return;
            }
            for (A_long i = next++; i < count; i = next++) {
                const PF_Err e = fn(refcon, thread_index, i, count);
                PF_Err none = PF_Err_NONE;
                if (e != PF_Err_NONE) first_error.compare_exchange_strong(none, e);
            }
        };
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
        work(0);
        for (auto& t : pool) t.join();
        return first_error.load();
    }

    // ---- basic suite ----

    static SPErr acquireSuite(const char* name, A_long version, const void** suite);
    static SPErr releaseSuite(const char* name, A_long version);

    // ---- "PF Param Utils Suite" ----

    static PF_Err updateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "PF_UpdateParamUI")) return PF_Err_BAD_CALLBACK_PARAM;
        if (s->inRenderCommand()) {
            s->fault(commandName(s->current_command_) +
                     ": PF_UpdateParamUI is not allowed while rendering");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (def == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        if (index <= 0 || index >= s->params_.count()) return PF_Err_INVALID_INDEX;
        HostParameter& p = s->params_.at(index);
        if (def->param_type != p.type()) {
            s->fault(commandName(s->current_command_) + ": PF_UpdateParamUI for '" + p.name() +
                     "' with a record of kind " + ParameterStore::kindName(def->param_type));
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        p.def.ui_flags = def->ui_flags;
        ++p.ui_updates;
        return PF_Err_NONE;
    }

    // ---- "PF World Suite" ----

    static SampleDepth depthOfFormat(PF_PixelFormat format, bool* known) {
        *known = true;
        switch (format) {
            case PF_PixelFormat_ARGB32:
                return SampleDepth::bits8;
            case PF_PixelFormat_ARGB64:
                return SampleDepth::bits16;
            case PF_PixelFormat_ARGB128:
                return SampleDepth::float32;
        }
        *known = false;
        return SampleDepth::bits8;
    }

    static PF_Err newWorld(PF_ProgPtr ref, A_long width, A_long height, PF_Boolean clear,
                           PF_PixelFormat format, PF_EffectWorld* world) {
        (void)clear;  // host worlds always start cleared
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "PF_NewWorld")) return PF_Err_BAD_CALLBACK_PARAM;
        bool known = false;
        const SampleDepth depth = depthOfFormat(format, &known);
        if (!known || world == nullptr || width <= 0 || height <= 0)
            return PF_Err_BAD_CALLBACK_PARAM;
        return guarded(s, [&]() -> PF_Err {
            auto made = std::make_unique<HostWorld>(width, height, depth, 0, 0, true);
            *world = *made->def();
            s->new_worlds_[made->def()->data] = std::move(made);
            return PF_Err_NONE;
        });
    }

    static PF_Err disposeWorld(PF_ProgPtr ref, PF_EffectWorld* world) {
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "PF_DisposeWorld")) return PF_Err_BAD_CALLBACK_PARAM;
        const auto it = world != nullptr ? s->new_worlds_.find(world->data) : s->new_worlds_.end();
        if (it == s->new_worlds_.end()) {
            s->fault(commandName(s->current_command_) +
                     ": PF_DisposeWorld of a world that PF_NewWorld did not make");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        s->checkWorld(*it->second, "a world made with PF_NewWorld", 0, false);
        s->new_worlds_.erase(it);
        world->data = nullptr;
        return PF_Err_NONE;
    }

    static PF_Err getPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
        const HostWorld* known = HostWorld::fromDef(world);
        if (known == nullptr || format == nullptr) {
            if (EffectSession* s = g_active.load()) {
                s->fault(commandName(s->current_command_) +
                         ": PF_GetPixelFormat of a world the host did not hand out");
            }
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        *format = known->pixelFormat();
        return PF_Err_NONE;
    }

    // ---- "PF AE Channel Suite": a layer read from an EXR file with a Z channel has a depth
    // channel; its values are the file's (scene units, larger = farther) ----

    static bool hasDepthChannel(EffectSession* s, PF_ParamIndex index) {
        if (index < 0 || index >= s->params_.count()) return false;
        LayerSource* source = s->layerSource(index);
        return source != nullptr && source->frame(s->frame_).hasZ();
    }

    static PF_DataType channelDataType(EffectSession* s) {
        return s->settings_.depth_double ? PF_DataType_DOUBLE : PF_DataType_FLOAT;
    }

    static void describeChannel(EffectSession* s, PF_ParamIndex index, PF_ChannelRef* ref,
                                PF_ChannelDesc* desc) {
        if (ref != nullptr) {
            *ref = PF_ChannelRef{};
            ref->opaque[0] = kChannelMagic;
            ref->opaque[1] = index;
        }
        if (desc != nullptr) {
            *desc = PF_ChannelDesc{};
            desc->channel_type = PF_ChannelType_DEPTH;
            std::strcpy(desc->name, "Z");
            desc->data_type = channelDataType(s);
            desc->dimension = 1;
        }
    }

    static PF_Err channelCount(PF_ProgPtr ref, PF_ParamIndex index, A_long* count) {
        EffectSession* s = session(ref);
        if (s == nullptr || count == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        return guarded(s, [&]() -> PF_Err {
            *count = hasDepthChannel(s, index) ? 1 : 0;
            return PF_Err_NONE;
        });
    }

    static PF_Err channelByIndex(PF_ProgPtr ref, PF_ParamIndex index, PF_ChannelIndex channel,
                                 PF_Boolean* found, PF_ChannelRef* channel_ref,
                                 PF_ChannelDesc* desc) {
        EffectSession* s = session(ref);
        if (s == nullptr || found == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        return guarded(s, [&]() -> PF_Err {
            *found = channel == 0 && hasDepthChannel(s, index);
            if (*found) describeChannel(s, index, channel_ref, desc);
            return PF_Err_NONE;
        });
    }

    static PF_Err channelByType(PF_ProgPtr ref, PF_ParamIndex index, PF_ChannelType type,
                                PF_Boolean* found, PF_ChannelRef* channel_ref,
                                PF_ChannelDesc* desc) {
        EffectSession* s = session(ref);
        if (s == nullptr || found == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        return guarded(s, [&]() -> PF_Err {
            *found = type == PF_ChannelType_DEPTH && hasDepthChannel(s, index);
            if (*found) describeChannel(s, index, channel_ref, desc);
            return PF_Err_NONE;
        });
    }

    static PF_Err checkoutChannel(PF_ProgPtr ref, PF_ChannelRefPtr channel_ref, A_long what_time,
                                  A_long duration, A_u_long time_scale, PF_DataType data_type,
                                  PF_ChannelChunk* chunk) {
        (void)duration;
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "PF_CheckoutLayerChannel")) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        if (channel_ref == nullptr || chunk == nullptr || channel_ref->opaque[0] != kChannelMagic ||
            (data_type != PF_DataType_FLOAT && data_type != PF_DataType_DOUBLE)) {
            s->fault(commandName(s->current_command_) +
                     ": PF_CheckoutLayerChannel with a channel reference or data type the host "
                     "did not hand out");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        const auto index = PF_ParamIndex(channel_ref->opaque[1]);
        EffectSession::HostWork work(*s);
        return guarded(s, [&]() -> PF_Err {
            LayerSource* source = s->layerSource(index);
            if (source == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
            const HostPlane& plane =
                source->plane(s->frameOfTime(what_time, time_scale), s->depth_, s->downsample_);
            if (plane.z.empty()) return PF_Err_BAD_CALLBACK_PARAM;
            const size_t value_bytes = data_type == PF_DataType_DOUBLE ? 8 : 4;
            EffectSession::ChannelCheckout c;
            c.pixel_row_bytes = size_t(plane.width) * value_bytes;
            c.row_bytes = c.pixel_row_bytes + 2 * value_bytes;  // spare values, as in worlds
            c.height = plane.height;
            c.buffer.assign(c.row_bytes * size_t(plane.height), HostWorld::kSentinel);
            for (int y = 0; y < plane.height; ++y) {
                unsigned char* row = c.buffer.data() + size_t(y) * c.row_bytes;
                for (int x = 0; x < plane.width; ++x) {
                    const float z = plane.z[size_t(y) * size_t(plane.width) + size_t(x)];
                    if (value_bytes == 8) {
                        const double d = z;
                        std::memcpy(row + size_t(x) * 8, &d, 8);
                    } else {
                        std::memcpy(row + size_t(x) * 4, &z, 4);
                    }
                }
            }
            *chunk = PF_ChannelChunk{};
            chunk->channel_ref = *channel_ref;
            chunk->widthL = plane.width;
            chunk->heightL = plane.height;
            chunk->dimensionL = 1;
            chunk->row_bytesL = A_long(c.row_bytes);
            chunk->data_type = data_type;
            chunk->dataH = nullptr;
            chunk->dataPV = c.buffer.data();
            s->channel_checkouts_[chunk->dataPV] = std::move(c);
            return PF_Err_NONE;
        });
    }

    static PF_Err checkinChannel(PF_ProgPtr ref, PF_ChannelRefPtr channel_ref,
                                 PF_ChannelChunk* chunk) {
        (void)channel_ref;
        EffectSession* s = session(ref);
        if (s == nullptr || !onHostThread(s, "PF_CheckinLayerChannel")) {
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        const auto it = chunk != nullptr ? s->channel_checkouts_.find(chunk->dataPV)
                                         : s->channel_checkouts_.end();
        if (it == s->channel_checkouts_.end()) {
            s->fault(commandName(s->current_command_) +
                     ": PF_CheckinLayerChannel of a channel that is not checked out");
            return PF_Err_BAD_CALLBACK_PARAM;
        }
        EffectSession::HostWork work(*s);
        const EffectSession::ChannelCheckout& c = it->second;
        for (int y = 0; y < c.height; ++y) {
            const unsigned char* row = c.buffer.data() + size_t(y) * c.row_bytes;
            for (size_t i = c.pixel_row_bytes; i < c.row_bytes; ++i) {
                if (row[i] != HostWorld::kSentinel) {
                    s->fault(commandName(s->current_command_) +
                             " wrote outside the values of the depth channel: row " +
                             std::to_string(y));
                    y = c.height;
                    break;
                }
            }
        }
        s->channel_checkouts_.erase(it);
        chunk->dataPV = nullptr;
        return PF_Err_NONE;
    }
};

namespace {

const PF_ParamUtilsSuite1 kParamUtilsSuite{HostCallbacksImpl::updateParamUI};
const PF_WorldSuite2 kWorldSuite{HostCallbacksImpl::newWorld, HostCallbacksImpl::disposeWorld,
                                 HostCallbacksImpl::getPixelFormat};
const PF_ChannelSuite1 kChannelSuite{
    HostCallbacksImpl::channelCount, HostCallbacksImpl::channelByIndex,
    HostCallbacksImpl::channelByType, HostCallbacksImpl::checkoutChannel,
    HostCallbacksImpl::checkinChannel};

struct SuiteEntry {
    const char* name;
    A_long version;
    const void* table;
};

const SuiteEntry kSuites[] = {
    {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1, &kParamUtilsSuite},
    {kPFWorldSuite, kPFWorldSuiteVersion2, &kWorldSuite},
    {kPFChannelSuite1, kPFChannelSuiteVersion1, &kChannelSuite},
};

}  // namespace

SPErr HostCallbacksImpl::acquireSuite(const char* name, A_long version, const void** suite) {
    EffectSession* s = g_active.load();
    if (suite != nullptr) *suite = nullptr;
    if (s == nullptr || name == nullptr || suite == nullptr) return kSPSuiteNotFoundError;
    if (!onHostThread(s, "AcquireSuite")) return kSPSuiteNotFoundError;
    const auto& missing = s->settings_.missing_suites;
    if (std::find(missing.begin(), missing.end(), name) != missing.end()) {
        return kSPSuiteNotFoundError;
    }
    for (const SuiteEntry& entry : kSuites) {
        if (std::strcmp(entry.name, name) == 0 && entry.version == version) {
            *suite = entry.table;
            ++s->suites_acquired_[name];
            return kSPNoError;
        }
    }
    return kSPSuiteNotFoundError;
}

SPErr HostCallbacksImpl::releaseSuite(const char* name, A_long version) {
    (void)version;
    EffectSession* s = g_active.load();
    if (s == nullptr || name == nullptr) return kSPSuiteNotFoundError;
    if (!onHostThread(s, "ReleaseSuite")) return kSPSuiteNotFoundError;
    int& count = s->suites_acquired_[name];
    if (count <= 0) {
        s->fault(commandName(s->current_command_) + ": released suite '" + name +
                 "', which it had not acquired");
        return kSPSuiteNotFoundError;
    }
    --count;
    return kSPNoError;
}

void HostCallbacks::install(EffectSession& session) {
    PF_UtilCallbacks& u = session.utils_;
    u = PF_UtilCallbacks{};
    u.host_new_handle = HostCallbacksImpl::newHandle;
    u.host_lock_handle = HostCallbacksImpl::lockHandle;
    u.host_unlock_handle = HostCallbacksImpl::unlockHandle;
    u.host_dispose_handle = HostCallbacksImpl::disposeHandle;
    u.host_get_handle_size = HostCallbacksImpl::handleSize;
    u.host_resize_handle = HostCallbacksImpl::resizeHandle;
    u.ansi.sprintf = HostCallbacksImpl::hostSprintf;
    u.ansi.strcpy = HostCallbacksImpl::hostStrcpy;
    u.iterate_generic = HostCallbacksImpl::iterateGeneric;
    session.basic_suite_ =
        SPBasicSuite{HostCallbacksImpl::acquireSuite, HostCallbacksImpl::releaseSuite};
}

void HostCallbacks::activate(EffectSession* session) { g_active.store(session); }

PF_InteractCallbacks HostCallbacks::interactCallbacks() {
    PF_InteractCallbacks inter{};
    inter.checkout_param = HostCallbacksImpl::checkoutParam;
    inter.checkin_param = HostCallbacksImpl::checkinParam;
    inter.add_param = HostCallbacksImpl::addParam;
    inter.abort = HostCallbacksImpl::abortCheck;
    inter.progress = HostCallbacksImpl::progress;
    return inter;
}

PF_PreRenderCallbacks HostCallbacks::preRenderCallbacks() {
    return PF_PreRenderCallbacks{HostCallbacksImpl::checkoutLayer, HostCallbacksImpl::guidMixIn};
}

PF_SmartRenderCallbacks HostCallbacks::smartRenderCallbacks() {
    return PF_SmartRenderCallbacks{HostCallbacksImpl::checkoutLayerPixels,
                                   HostCallbacksImpl::checkinLayerPixels,
                                   HostCallbacksImpl::checkoutOutput};
}
