#pragma once
// Multi-producer, single-consumer channels, unbounded or bounded. A send
// never waits and reports false once the receiver is gone; a bounded channel
// that is full drops what is sent and counts it instead. A receive tells a
// value from a timeout and from a disconnection (every sender gone, or the
// channel closed, and nothing queued). select waits on two receivers at once
// without polling: both channels signal one shared waker while the selecting
// thread sleeps on it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vesk {

using Deadline = std::chrono::steady_clock::time_point;
// The capacity of a channel without a bound.
inline constexpr size_t UNBOUNDED = std::numeric_limits<size_t>::max();
// A deadline that never comes.
inline constexpr Deadline NO_DEADLINE = Deadline::max();

enum class RecvStatus { Value, Timeout, Disconnected };

template <class T>
struct Received {
    RecvStatus status;
    std::optional<T> value;  // present exactly when status is Value
};

namespace channel_detail {

struct Access;

// Wakes one selecting thread; `signaled` covers a signal that comes between
// the thread's last look at its channels and its sleep.
struct Waker {
    std::mutex mutex;
    std::condition_variable cv;
    bool signaled = false;

    void notify();
    void reset();
    // False once the deadline has passed without a signal.
    bool wait(Deadline deadline);
};

// The calling thread's waker, reused by its selects.
std::shared_ptr<Waker> thread_waker();

// A fair coin from the calling thread's generator.
bool coin_flip();

// Waits on `cv` until `ready` holds; false if the deadline passed first.
template <class Pred>
bool wait_until(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Deadline deadline, Pred ready) {
    if (deadline == NO_DEADLINE) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, deadline, ready);
}

template <class T>
struct Core {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<T> queue;
    size_t capacity = UNBOUNDED;
    size_t overflow = 0;  // sends refused by a full queue since the last look
    size_t senders = 1;
    bool receiver_alive = true;
    bool closed = false;           // no send is taken any more
    std::shared_ptr<Waker> waker;  // set while a select waits on this channel

    bool ended() const { return senders == 0 || closed; }
    bool ready() const { return !queue.empty() || ended(); }

    // Wakes the receiver after a change; called with the lock released.
    void wake(const std::shared_ptr<Waker>& w) {
        cv.notify_one();
        if (w) w->notify();
    }

    // Takes the next value, or tells why there is none; the lock is held.
    Received<T> take_locked() {
        if (!queue.empty()) {
            Received<T> r{RecvStatus::Value, std::move(queue.front())};
            queue.pop_front();
            return r;
        }
        return {ended() ? RecvStatus::Disconnected : RecvStatus::Timeout, std::nullopt};
    }
};

}  // namespace channel_detail

template <class T>
class Receiver;

// Closes a channel from any thread: every later send is refused, and the
// receiver takes what is queued and then sees the channel disconnected.
template <class T>
class ChannelCloser {
public:
    void close() const {
        std::shared_ptr<channel_detail::Waker> w;
        {
            std::lock_guard lock(core_->mutex);
            core_->closed = true;
            w = core_->waker;
        }
        core_->wake(w);
    }

private:
    friend class Receiver<T>;
    explicit ChannelCloser(std::shared_ptr<channel_detail::Core<T>> core) : core_(std::move(core)) {}
    std::shared_ptr<channel_detail::Core<T>> core_;
};

template <class T>
class Sender {
public:
    Sender(const Sender& other) : core_(other.core_) {
        if (core_) {
            std::lock_guard lock(core_->mutex);
            ++core_->senders;
        }
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(core_, other.core_);
        return *this;
    }
    ~Sender() { release(); }

    // Queues the value; false (and the value dropped) if the receiver is
    // gone or the channel closed, or if the channel is full, which is counted.
    bool send(T value) const { return push(std::move(value), true); }

    // Queues the value even when a bounded channel is full; false only if
    // the receiver is gone or the channel closed. For the few values that
    // must never be lost to a backlog.
    bool send_past_bound(T value) const { return push(std::move(value), false); }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(size_t capacity);
    explicit Sender(std::shared_ptr<channel_detail::Core<T>> core) : core_(std::move(core)) {}

    bool push(T value, bool bounded) const {
        if (!core_) return false;
        std::shared_ptr<channel_detail::Waker> w;
        {
            std::lock_guard lock(core_->mutex);
            if (!core_->receiver_alive || core_->closed) return false;
            if (bounded && core_->queue.size() >= core_->capacity) {
                ++core_->overflow;
                return false;
            }
            core_->queue.push_back(std::move(value));
            w = core_->waker;
        }
        core_->wake(w);
        return true;
    }

    void release() noexcept {
        if (!core_) return;
        std::shared_ptr<channel_detail::Waker> w;
        bool last;
        {
            std::lock_guard lock(core_->mutex);
            last = --core_->senders == 0;
            w = core_->waker;
        }
        if (last) core_->wake(w);
        core_.reset();
    }

    std::shared_ptr<channel_detail::Core<T>> core_;
};

// One thread at a time receives; the receiver may move between threads. A
// moved-from receiver must not be used.
template <class T>
class Receiver {
public:
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            release();
            core_ = std::move(other.core_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { release(); }

    // Value, or Timeout when nothing is queued now, or Disconnected.
    Received<T> try_recv() {
        std::lock_guard lock(core_->mutex);
        return core_->take_locked();
    }
    // Value, or Timeout once the deadline has passed, or Disconnected.
    Received<T> recv_until(Deadline deadline) {
        std::unique_lock lock(core_->mutex);
        channel_detail::wait_until(core_->cv, lock, deadline, [&] { return core_->ready(); });
        return core_->take_locked();
    }
    // Value or Disconnected.
    Received<T> recv() { return recv_until(NO_DEADLINE); }

    // The number of sends a full channel refused since the last call.
    size_t take_overflow() {
        std::lock_guard lock(core_->mutex);
        return std::exchange(core_->overflow, 0);
    }

    ChannelCloser<T> closer() const { return ChannelCloser<T>(core_); }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(size_t capacity);
    friend struct channel_detail::Access;
    explicit Receiver(std::shared_ptr<channel_detail::Core<T>> core) : core_(std::move(core)) {}

    void release() noexcept {
        if (!core_) return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(core_->mutex);
            core_->receiver_alive = false;
            dropped.swap(core_->queue);
        }
        // The queued values die after the unlock: one may hold a sender of
        // this very channel.
        core_.reset();
    }

    std::shared_ptr<channel_detail::Core<T>> core_;
};

// A channel that holds at most `capacity` values; a send to a full one is
// dropped and counted, so that a sender still never waits.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(size_t capacity) {
    auto core = std::make_shared<channel_detail::Core<T>>();
    core->capacity = capacity;
    return {Sender<T>(core), Receiver<T>(core)};
}

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    return make_bounded_channel<T>(UNBOUNDED);
}

enum class SelectMode {
    Random,       // both ready: each is taken with equal chance
    PreferFirst,  // both ready: the first is taken
};

enum class SelectFrom { First, Second, Timeout };

template <class A, class B>
struct Selected {
    SelectFrom from;
    // The value of the source taken; none there means that source is
    // disconnected, which counts as ready.
    std::optional<A> first;
    std::optional<B> second;
};

namespace channel_detail {
struct Access {
    template <class T>
    static void set_waker(Receiver<T>* r, std::shared_ptr<channel_detail::Waker> w) {
        if (!r) return;
        std::lock_guard lock(r->core_->mutex);
        r->core_->waker = std::move(w);
    }
    // True when the source is ready: a value taken into `slot`, or disconnected.
    template <class T>
    static bool poll(Receiver<T>* r, std::optional<T>& slot) {
        if (!r) return false;
        std::lock_guard lock(r->core_->mutex);
        Received<T> got = r->core_->take_locked();
        if (got.status == RecvStatus::Timeout) return false;
        slot = std::move(got.value);
        return true;
    }
};
}  // namespace channel_detail

// Waits until one of two receivers is ready or the deadline passes. A null
// receiver is a source that never delivers.
template <class A, class B>
Selected<A, B> select(Receiver<A>* first, Receiver<B>* second, Deadline deadline, SelectMode mode) {
    std::shared_ptr<channel_detail::Waker> waker = channel_detail::thread_waker();
    channel_detail::Access::set_waker(first, waker);
    channel_detail::Access::set_waker(second, waker);
    Selected<A, B> out{SelectFrom::Timeout, std::nullopt, std::nullopt};
    for (;;) {
        // Reset before looking, so a send after the look still wakes us.
        waker->reset();
        bool second_first = mode == SelectMode::Random && first && second && channel_detail::coin_flip();
        if (second_first && channel_detail::Access::poll(second, out.second)) {
            out.from = SelectFrom::Second;
            break;
        }
        if (channel_detail::Access::poll(first, out.first)) {
            out.from = SelectFrom::First;
            break;
        }
        if (!second_first && channel_detail::Access::poll(second, out.second)) {
            out.from = SelectFrom::Second;
            break;
        }
        if (!waker->wait(deadline)) break;
    }
    channel_detail::Access::set_waker(first, nullptr);
    channel_detail::Access::set_waker(second, nullptr);
    return out;
}

}  // namespace vesk
