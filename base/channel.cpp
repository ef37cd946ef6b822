#include "base/channel.hpp"

#include "base/random.hpp"

namespace vesk::channel_detail {

void Waker::notify() {
    {
        std::lock_guard lock(mutex);
        signaled = true;
    }
    cv.notify_one();
}

void Waker::reset() {
    std::lock_guard lock(mutex);
    signaled = false;
}

bool Waker::wait(Deadline deadline) {
    std::unique_lock lock(mutex);
    return wait_until(cv, lock, deadline, [&] { return signaled; });
}

std::shared_ptr<Waker> thread_waker() {
    thread_local std::shared_ptr<Waker> waker = std::make_shared<Waker>();
    return waker;
}

bool coin_flip() { return (thread_rng().next_u32() & 1) != 0; }

}  // namespace vesk::channel_detail
