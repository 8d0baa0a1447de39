#include "framework/thread_pool.h"

#include <algorithm>
#include <sstream>
#include <system_error>

#include "framework/logger.h"

namespace {

std::atomic<int32_t> live_workers{0};

// The pool whose run the current thread is working for: set for the whole life of a worker
// thread, and for the caller while it works as slot 0. A run started on a thread that already
// works for the same pool is nested and must not wait for the pool's workers (which may
// include itself) or take its run lock a second time.
thread_local const ThreadPool* running_pool = nullptr;

class RunningPoolScope {
public:
    explicit RunningPoolScope(const ThreadPool* pool) : previous_(running_pool) {
        running_pool = pool;
    }
    ~RunningPoolScope() { running_pool = previous_; }
    RunningPoolScope(const RunningPoolScope&) = delete;
    RunningPoolScope& operator=(const RunningPoolScope&) = delete;

private:
    const ThreadPool* previous_;
};

// The event operations report a failure of the underlying lock and go on: a lost signal is
// logged rather than turned into an exception on a worker thread.
void signalEvent(ManualResetEvent& event) {
    try {
        event.signal();
    } catch (const std::system_error& error) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix
                                 << "error signaling event. Error code: " << error.code().value()
                                 << "\n";
    }
}

void resetEvent(ManualResetEvent& event) {
    try {
        event.reset();
    } catch (const std::system_error& error) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix
                                 << "error signaling event. Error code: " << error.code().value()
                                 << "\n";
    }
}

// A slot record with its three events, or null (logged) when an event cannot be created.
std::shared_ptr<ThreadData> makeThreadData(int32_t slot, ThreadPool* pool) {
    try {
        auto data = std::make_shared<ThreadData>();
        data->slot = slot;
        data->pool = pool;
        return data;
    } catch (const std::system_error& error) {
        LogEntry(Logger::kError) << Logger::kErrorPrefix
                                 << "error creating event. Error code: " << error.code().value()
                                 << "\n";
        return nullptr;
    }
}

int32_t runSerial(int32_t total, void* object, QuillbrookRenderContext::ParallelCallback callback) {
    for (int32_t item = 0; item < total; ++item) {
        const int32_t result = callback(object, item, total, 0);
        if (result != 0) return result;
    }
    return 0;
}

}  // namespace

void ManualResetEvent::signal() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = false;
}

void ManualResetEvent::wait() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this] { return signalled_; });
}

bool ManualResetEvent::waitFor(int milliseconds) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                             [this] { return signalled_; });
}

ThreadPool::~ThreadPool() {
    std::lock_guard<std::mutex> guard(run_lock_);
    shutdown();
    count_ = 0;
}

int32_t ThreadPool::liveWorkers() { return live_workers.load(); }

bool ThreadPool::isWorkerThread() const { return running_pool == this; }

void ThreadPool::init(int32_t n) {
    if (isWorkerThread()) return;
    std::lock_guard<std::mutex> guard(run_lock_);
    initLocked(n);
}

void ThreadPool::initLocked(int32_t n) {
    n = std::clamp(n, int32_t{1}, kMaxThreads);
    if (n == count_) return;
    // VERBATIM (the log line).
    LogEntry() << "initializing threadpool with " << n << " threads\n";

    shutdown();
    count_ = 0;
    stop_ = false;
    for (int32_t slot = 0; slot < n; ++slot) {
        std::shared_ptr<ThreadData> data = makeThreadData(slot, this);
        if (data == nullptr) break;
        slots_.push_back(std::move(data));
    }
    if (slots_.empty()) return;
    slots_[0]->thread_id = std::this_thread::get_id();
    count_ = 1;

    for (int32_t slot = 1; slot < static_cast<int32_t>(slots_.size()); ++slot) {
        live_workers.fetch_add(1);
        try {
            threads_[slot] = std::thread(&ThreadPool::workerMain, slots_[slot]);
        } catch (const std::system_error&) {
            live_workers.fetch_sub(1);
            // VERBATIM: no blank between the slot and "of"; log readers match the line as is.
            LogEntry(Logger::kWarning) << Logger::kWarningPrefix << "failed to create thread nr "
                                       << slot << "of " << n << "\n";
            break;
        }
        slots_[slot]->thread_id = threads_[slot].get_id();
        count_ = slot + 1;
    }
    slots_.resize(count_);
}

void ThreadPool::shutdown() {
    stop_ = true;
    const int32_t workers = static_cast<int32_t>(slots_.size());
    for (int32_t slot = 1; slot < workers; ++slot) signalEvent(slots_[slot]->start);
    for (int32_t slot = 1; slot < workers; ++slot) {
        slots_[slot]->exit.wait();
        if (threads_[slot].joinable()) threads_[slot].join();
    }
    slots_.clear();
}

void ThreadPool::workerMain(std::shared_ptr<ThreadData> data) {
    struct LiveWorker {
        ~LiveWorker() { live_workers.fetch_sub(1); }
    } live_worker;
    ThreadPool& pool = *data->pool;
    running_pool = &pool;
    for (;;) {
        data->start.wait();
        if (pool.stop_) {
            signalEvent(data->exit);
            return;
        }
        try {
            pool.workLoop(*data);
        } catch (...) {
            data->failure = std::current_exception();
        }
        resetEvent(data->start);
        signalEvent(data->done);
    }
}

void ThreadPool::workLoop(ThreadData& data) {
    // A slot that has failed leaves before it claims another item, so an item it could not run is
    // still there for a slot that can: the caller's own failure is then never lost to a worker
    // that happened to claim the caller's item and drop it.
    for (;;) {
        if (data.result != 0) return;
        int32_t item;
        {
            std::lock_guard<std::mutex> guard(next_lock_);
            item = next_++;
        }
        if (item >= total_) return;
        data.result = callback_(object_, item, total_, data.slot);
    }
}

int32_t ThreadPool::run(int32_t total, void* object,
                        QuillbrookRenderContext::ParallelCallback callback) {
    if (isWorkerThread()) return runSerial(total, object, callback);

    std::exception_ptr failure;
    int32_t result = 0;
    {
        std::lock_guard<std::mutex> guard(run_lock_);
        if (count_ == 0) initLocked(1);
        if (slots_.empty()) {
            RunningPoolScope running(this);
            return runSerial(total, object, callback);
        }

        mode_ = 1;
        total_ = total;
        next_ = 0;
        object_ = object;
        callback_ = callback;
        stop_ = false;
        for (const std::shared_ptr<ThreadData>& data : slots_) {
            data->result = 0;
            data->failure = nullptr;
        }
        const int32_t workers = count_;
        for (int32_t slot = 1; slot < workers; ++slot) {
            resetEvent(slots_[slot]->done);
            signalEvent(slots_[slot]->start);
        }
        {
            RunningPoolScope running(this);
            try {
                workLoop(*slots_[0]);
            } catch (...) {
                slots_[0]->failure = std::current_exception();
            }
        }
        for (int32_t slot = 1; slot < workers; ++slot) slots_[slot]->done.wait();
        mode_ = 0;

        for (const std::shared_ptr<ThreadData>& data : slots_) {
            if (data->failure != nullptr && failure == nullptr) failure = data->failure;
            if (data->result != 0 && result == 0) result = data->result;
            data->failure = nullptr;
        }
    }
    if (failure != nullptr) std::rethrow_exception(failure);
    return result;
}
