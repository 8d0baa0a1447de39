#include "tests/support/ae_test_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<AETestHost*> current_host{nullptr};

// Handle values: far above 4 GiB, 16 apart, and with low 32 bits that never repeat the whole
// value, so a handle that lost its upper half is recognised as unknown.
constexpr uintptr_t kHandleBase = uintptr_t(0x5A3C) << 32;
constexpr uintptr_t kHandleStep = 16;

uintptr_t handleKey(PF_Handle handle) { return reinterpret_cast<uintptr_t>(handle); }

AETestHost& host() { return *current_host.load(); }

}  // namespace

AETestHost::HandleCall::HandleCall(AETestHost& host) : host_(host) {
    if (host_.in_handle_call_.exchange(true)) ++host_.overlapping_calls_;
}

AETestHost::HandleCall::~HandleCall() { host_.in_handle_call_.store(false); }

AETestHost::AETestHost() {
    current_host.store(this);

    in_data.inter.checkout_param = &AETestHost::checkoutParam;
    in_data.inter.checkin_param = &AETestHost::checkinParam;
    in_data.inter.add_param = &AETestHost::addParam;
    in_data.inter.progress = &AETestHost::progress;
    in_data.utils = &utils;
    in_data.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
    in_data.appl_id = 0x46585443;  // 'FXTC'
    in_data.current_time = 0;
    in_data.time_step = 1;
    in_data.local_time_step = 1;
    in_data.time_scale = 24;
    in_data.width = 64;
    in_data.height = 48;
    in_data.downsample_x = {1, 1};
    in_data.downsample_y = {1, 1};
    in_data.pixel_aspect_ratio = {1, 1};
    in_data.pica_basicP = &basic;
    setApiVersion(13, 0);

    utils.host_new_handle = &AETestHost::newHandle;
    utils.host_lock_handle = &AETestHost::lockHandle;
    utils.host_unlock_handle = &AETestHost::unlockHandle;
    utils.host_dispose_handle = &AETestHost::disposeHandle;
    utils.host_get_handle_size = &AETestHost::getHandleSize;
    utils.ansi.sprintf = &AETestHost::ansiSprintf;
    utils.ansi.strcpy = &AETestHost::ansiStrcpy;

    basic.AcquireSuite = &AETestHost::acquireSuite;
    basic.ReleaseSuite = &AETestHost::releaseSuite;
    param_utils.PF_UpdateParamUI = &AETestHost::updateParamUI;

    setParameterCount(1);
}

AETestHost::~AETestHost() { current_host.store(nullptr); }

AETestHost* AETestHost::current() { return current_host.load(); }

void AETestHost::setApiVersion(A_short major, A_short minor) {
    in_data.version.major = major;
    in_data.version.minor = minor;
}

void AETestHost::setPremiere(bool premiere) {
    in_data.appl_id = premiere ? 0x50724D72 /* 'PrMr' */ : 0x46585443 /* 'FXTC' */;
}

void AETestHost::setParameterCount(int32_t count) {
    parameters.assign(size_t(count), PF_ParamDef{});
    for (PF_ParamDef& p : parameters) p.param_type = PF_Param_LAYER;
    param_pointers_.clear();
    for (PF_ParamDef& p : parameters) param_pointers_.push_back(&p);
    in_data.num_params = count;
}

PF_ParamDef** AETestHost::paramList() { return param_pointers_.data(); }

int32_t AETestHost::progressCalls() const {
    std::lock_guard<std::mutex> guard(progress_lock_);
    return int32_t(progress_threads_.size());
}

std::vector<std::thread::id> AETestHost::progressThreads() const {
    std::lock_guard<std::mutex> guard(progress_lock_);
    return progress_threads_;
}

void AETestHost::setProcessorIterations(int32_t n) {
    processor_iterations_ = n;
    utils.iterate_generic = n > 0 ? &AETestHost::iterateGeneric : nullptr;
}

int32_t AETestHost::liveHandles() const {
    std::lock_guard<std::mutex> guard(handle_table_lock_);
    return int32_t(blocks_.size());
}

A_u_longlong AETestHost::handleSize(PF_Handle handle) const {
    std::lock_guard<std::mutex> guard(handle_table_lock_);
    const auto it = blocks_.find(handleKey(handle));
    return it == blocks_.end() ? 0 : it->second.size;
}

void AETestHost::denySuite(const std::string& name) {
    std::lock_guard<std::mutex> guard(suite_lock_);
    denied_.insert(name);
}

int32_t AETestHost::outstandingSuites(const std::string& name) const {
    std::lock_guard<std::mutex> guard(suite_lock_);
    const auto it = outstanding_.find(name);
    return it == outstanding_.end() ? 0 : it->second;
}

int32_t AETestHost::acquireCount(const std::string& name) const {
    std::lock_guard<std::mutex> guard(suite_lock_);
    const auto it = acquired_.find(name);
    return it == acquired_.end() ? 0 : it->second;
}

// ---- callbacks ---------------------------------------------------------------------------

PF_Err AETestHost::checkoutParam(PF_ProgPtr, PF_ParamIndex index, A_long, A_long, A_u_long,
                                 PF_ParamDef* param) {
    AETestHost& h = host();
    if (param == nullptr || index < 0 || index >= A_long(h.parameters.size())) {
        return PF_Err_INVALID_INDEX;
    }
    *param = h.parameters[size_t(index)];
    ++h.checkouts;
    return PF_Err_NONE;
}

PF_Err AETestHost::checkinParam(PF_ProgPtr, PF_ParamDef*) {
    ++host().checkins;
    return PF_Err_NONE;
}

PF_Err AETestHost::addParam(PF_ProgPtr, PF_ParamIndex, PF_ParamDefPtr def) {
    if (def == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    host().added.push_back(*def);
    return PF_Err_NONE;
}

PF_Err AETestHost::progress(PF_ProgPtr, A_long current, A_long total) {
    AETestHost& h = host();
    {
        std::lock_guard<std::mutex> guard(h.progress_lock_);
        h.progress_threads_.push_back(std::this_thread::get_id());
    }
    return h.progress_script ? h.progress_script(current, total) : PF_Err_NONE;
}

PF_Handle AETestHost::newHandle(A_u_longlong size) {
    AETestHost& h = host();
    HandleCall call(h);
    if (h.refuse_handles.load()) return nullptr;
    std::lock_guard<std::mutex> guard(h.handle_table_lock_);
    Block block;
    // 32 spare bytes leave room to start the locked memory on a chosen 16-byte offset.
    block.storage = std::make_unique<unsigned char[]>(size_t(size) + 32);
    block.size = size;
    h.next_handle_ += kHandleStep;
    const uintptr_t key = kHandleBase + h.next_handle_;
    h.blocks_.emplace(key, std::move(block));
    ++h.handles_created_;
    return reinterpret_cast<PF_Handle>(key);
}

void* AETestHost::lockHandle(PF_Handle handle) {
    AETestHost& h = host();
    HandleCall call(h);
    if (h.refuse_locks.load()) return nullptr;
    std::lock_guard<std::mutex> guard(h.handle_table_lock_);
    const auto it = h.blocks_.find(handleKey(handle));
    if (it == h.blocks_.end()) {
        ++h.unknown_handle_calls_;
        return nullptr;
    }
    ++it->second.locks;
    const uintptr_t raw = reinterpret_cast<uintptr_t>(it->second.storage.get());
    const uintptr_t aligned = (raw + 15) / 16 * 16;
    return reinterpret_cast<void*>(aligned + (h.misalign_blocks.load() ? 8 : 0));
}

void AETestHost::unlockHandle(PF_Handle handle) {
    AETestHost& h = host();
    HandleCall call(h);
    std::lock_guard<std::mutex> guard(h.handle_table_lock_);
    const auto it = h.blocks_.find(handleKey(handle));
    if (it == h.blocks_.end() || it->second.locks == 0) {
        ++h.unknown_handle_calls_;
        return;
    }
    --it->second.locks;
}

void AETestHost::disposeHandle(PF_Handle handle) {
    AETestHost& h = host();
    HandleCall call(h);
    std::lock_guard<std::mutex> guard(h.handle_table_lock_);
    if (h.blocks_.erase(handleKey(handle)) == 0) ++h.unknown_handle_calls_;
}

A_u_longlong AETestHost::getHandleSize(PF_Handle handle) { return host().handleSize(handle); }

PF_Err AETestHost::iterateGeneric(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
    AETestHost& h = host();
    ++h.iterate_calls_;
    const A_long n =
        iterations == PF_Iterations_ONCE_PER_PROCESSOR ? h.processor_iterations_ : iterations;
    std::vector<std::thread> threads;
    std::atomic<PF_Err> result{PF_Err_NONE};
    for (A_long i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            const PF_Err err = fn(refcon, i, i, n);
            if (err != PF_Err_NONE) result.store(err);
        });
    }
    for (std::thread& t : threads) t.join();
    return result.load();
}

int AETestHost::ansiSprintf(A_char* buffer, const A_char* format, ...) {
    ++host().sprintf_calls_;
    va_list args;
    va_start(args, format);
    const int n = std::vsprintf(buffer, format, args);
    va_end(args);
    return n;
}

A_char* AETestHost::ansiStrcpy(A_char* destination, const A_char* source) {
    ++host().string_copies;
    return std::strcpy(destination, source);
}

SPErr AETestHost::acquireSuite(const char* name, A_long version, const void** suite) {
    AETestHost& h = host();
    std::lock_guard<std::mutex> guard(h.suite_lock_);
    if (suite == nullptr || h.denied_.count(name) != 0) return kSPSuiteNotFoundError;
    const std::string n = name;
    if (n == kPFParamUtilsSuite && version == kPFParamUtilsSuiteVersion1) {
        *suite = &h.param_utils;
    } else if (n == kPFWorldSuite && version == kPFWorldSuiteVersion2) {
        *suite = &h.world_suite;
    } else if (n == kPFChannelSuite1 && version == kPFChannelSuiteVersion1) {
        *suite = &h.channel_suite;
    } else {
        return kSPSuiteNotFoundError;
    }
    ++h.outstanding_[n];
    ++h.acquired_[n];
    return kSPNoError;
}

SPErr AETestHost::releaseSuite(const char* name, A_long) {
    AETestHost& h = host();
    std::lock_guard<std::mutex> guard(h.suite_lock_);
    --h.outstanding_[name];
    return kSPNoError;
}

PF_Err AETestHost::updateParamUI(PF_ProgPtr, PF_ParamIndex index, const PF_ParamDef* def) {
    AETestHost& h = host();
    h.ui_updates.push_back({index, def != nullptr ? *def : PF_ParamDef{}});
    return h.update_param_ui_answer;
}
