#pragma once
// A fixed set of named worker threads that run submitted jobs. A caller hands
// a job in parts and blocks until every part is done; jobs of several callers
// run side by side.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vesk {

// `prefix` followed by `index` in decimal with at least two digits.
std::string worker_thread_name(std::string_view prefix, size_t index);

class ThreadPool {
public:
    // Starts `threads` workers (at least one), each named by
    // worker_thread_name (cut to the platform's 15 characters). Throws
    // std::system_error when a thread cannot be started; the workers already
    // started are stopped first.
    ThreadPool(size_t threads, std::string_view name_prefix);
    // Lets the queued jobs finish, then joins the workers.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    size_t thread_count() const { return threads_.size(); }
    // The calling thread is one of this pool's workers.
    bool is_worker_thread() const;

    // Runs part(0) ... part(parts - 1) on the workers and returns once all
    // are done. On one of the pool's own workers the parts run in turn on
    // the caller, since waiting there for the others could deadlock. An
    // exception from a part is rethrown here after every part has ended.
    void run_parts(size_t parts, const std::function<void(size_t)>& part);

private:
    void work();
    void stop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vesk
