#include "base/thread_pool.hpp"

#include <pthread.h>

#include <exception>
#include <memory>

namespace vesk {

namespace {

// The pool whose worker runs on this thread, if any.
thread_local const ThreadPool* current_pool = nullptr;

// Linux thread names hold at most 15 characters.
constexpr size_t THREAD_NAME_MAX = 15;

}  // namespace

std::string worker_thread_name(std::string_view prefix, size_t index) {
    std::string name(prefix);
    if (index < 10) name += '0';
    name += std::to_string(index);
    return name;
}

ThreadPool::ThreadPool(size_t threads, std::string_view name_prefix) {
    if (threads == 0) threads = 1;
    threads_.reserve(threads);
    try {
        for (size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] {
                current_pool = this;
                work();
            });
            std::string name = worker_thread_name(name_prefix, i).substr(0, THREAD_NAME_MAX);
            // An unnamed worker still works; the name only helps a reader.
            (void)pthread_setname_np(threads_.back().native_handle(), name.c_str());
        }
    } catch (...) {
        stop();
        throw;
    }
}

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
}

bool ThreadPool::is_worker_thread() const { return current_pool == this; }

void ThreadPool::work() {
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job();
    }
}

void ThreadPool::run_parts(size_t parts, const std::function<void(size_t)>& part) {
    if (parts == 0) return;
    if (is_worker_thread()) {
        for (size_t i = 0; i < parts; ++i) part(i);
        return;
    }
    // Shared so that a worker's last touch never outlives the waiting caller.
    struct Tally {
        std::mutex mutex;
        std::condition_variable done;
        size_t remaining = 0;
        std::exception_ptr error;
    };
    auto tally = std::make_shared<Tally>();
    tally->remaining = parts;
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < parts; ++i) {
            queue_.emplace_back([tally, &part, i] {
                std::exception_ptr error;
                try {
                    part(i);
                } catch (...) {
                    error = std::current_exception();
                }
                std::lock_guard lock(tally->mutex);
                if (error && !tally->error) tally->error = error;
                if (--tally->remaining == 0) tally->done.notify_all();
            });
        }
    }
    wake_.notify_all();
    std::unique_lock lock(tally->mutex);
    tally->done.wait(lock, [&] { return tally->remaining == 0; });
    if (tally->error) std::rethrow_exception(tally->error);
}

}  // namespace vesk
