#include "base/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Far enough away that only a broken wake-up ever reaches it.
Deadline generous() { return Clock::now() + 30s; }

TEST(Channel, ProducersKeepTheirOrderAndNothingIsLost) {
    constexpr int PRODUCERS = 4, EACH = 5000;
    auto [tx, rx] = make_channel<std::pair<int, int>>();
    std::vector<std::thread> threads;
    for (int p = 0; p < PRODUCERS; ++p) {
        threads.emplace_back([p, tx = tx] {
            for (int i = 0; i < EACH; ++i) EXPECT_TRUE(tx.send({p, i}));
        });
    }
    { auto gone = std::move(tx); }
    std::vector<int> next(PRODUCERS, 0);
    for (;;) {
        Received<std::pair<int, int>> r = rx.recv();
        if (r.status == RecvStatus::Disconnected) break;
        ASSERT_EQ(r.status, RecvStatus::Value);
        auto [p, i] = *r.value;
        ASSERT_EQ(i, next[p]) << "producer " << p;
        ++next[p];
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(next, std::vector<int>(PRODUCERS, EACH));
}

TEST(Channel, EmptyConnectedChannelTimesOut) {
    auto [tx, rx] = make_channel<int>();
    auto [tx2, rx2] = make_channel<std::string>();
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Timeout);
    EXPECT_EQ(rx.recv_until(Clock::now() - 1s).status, RecvStatus::Timeout);

    Deadline deadline = Clock::now() + 20ms;
    EXPECT_EQ(rx.recv_until(deadline).status, RecvStatus::Timeout);
    EXPECT_GE(Clock::now(), deadline);

    for (SelectMode mode : {SelectMode::Random, SelectMode::PreferFirst}) {
        deadline = Clock::now() + 20ms;
        auto s = select(&rx, &rx2, deadline, mode);
        EXPECT_EQ(s.from, SelectFrom::Timeout);
        EXPECT_FALSE(s.first || s.second);
        EXPECT_GE(Clock::now(), deadline);
    }
    // A value that was there all along is still taken after a past deadline.
    ASSERT_TRUE(tx.send(7));
    auto s = select(static_cast<Receiver<std::string>*>(nullptr), &rx, Clock::now() - 1s, SelectMode::Random);
    EXPECT_EQ(s.from, SelectFrom::Second);
    EXPECT_EQ(s.second, 7);
}

TEST(Channel, LastSenderGoneDisconnectsAfterTheQueueDrains) {
    auto [tx, rx] = make_channel<int>();
    {
        Sender<int> copy = tx;
        Sender<int> moved = std::move(tx);
        ASSERT_TRUE(copy.send(1));
        ASSERT_TRUE(moved.send(2));
        EXPECT_FALSE(tx.send(3));  // moved-from sender holds no channel
        auto r = rx.try_recv();
        EXPECT_EQ(r.status, RecvStatus::Value);
        EXPECT_EQ(r.value, 1);
    }
    auto r = rx.recv();
    EXPECT_EQ(r.status, RecvStatus::Value);
    EXPECT_EQ(r.value, 2);
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
    EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
    EXPECT_EQ(rx.recv_until(generous()).status, RecvStatus::Disconnected);
}

TEST(Channel, ReceiverGoneFailsSendsAndDropsQueuedValues) {
    auto [tx, rx] = make_channel<std::shared_ptr<int>>();
    auto tracked = std::make_shared<int>(5);
    ASSERT_TRUE(tx.send(tracked));
    EXPECT_EQ(tracked.use_count(), 2);
    { auto gone = std::move(rx); }
    EXPECT_EQ(tracked.use_count(), 1);
    EXPECT_FALSE(tx.send(tracked));
    EXPECT_EQ(tracked.use_count(), 1);
}

TEST(Channel, FullBoundedChannelCountsWhatItRefuses) {
    auto [tx, rx] = make_bounded_channel<int>(3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(tx.send(i));
    EXPECT_FALSE(tx.send(3));
    EXPECT_FALSE(tx.send(4));
    EXPECT_EQ(rx.take_overflow(), 2u);
    EXPECT_EQ(rx.take_overflow(), 0u);
    EXPECT_EQ(rx.try_recv().value, 0);
    // Room again once a value is taken.
    EXPECT_TRUE(tx.send(5));
    EXPECT_FALSE(tx.send(6));
    std::vector<int> rest;
    for (auto r = rx.try_recv(); r.status == RecvStatus::Value; r = rx.try_recv()) rest.push_back(*r.value);
    EXPECT_EQ(rest, (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(rx.take_overflow(), 1u);
}

TEST(Channel, ASendPastTheBoundIsTakenByAFullChannelAndKeepsItsPlace) {
    auto [tx, rx] = make_bounded_channel<int>(1);
    ASSERT_TRUE(tx.send(1));
    EXPECT_FALSE(tx.send(2));
    EXPECT_TRUE(tx.send_past_bound(3));
    // Still full: the ordinary send is refused and counted, the other not.
    EXPECT_FALSE(tx.send(4));
    EXPECT_EQ(rx.take_overflow(), 2u);
    EXPECT_EQ(rx.try_recv().value, 1);
    EXPECT_EQ(rx.try_recv().value, 3);
    EXPECT_EQ(rx.try_recv().status, RecvStatus::Timeout);
    // A closed channel refuses it as it refuses any send.
    rx.closer().close();
    EXPECT_FALSE(tx.send_past_bound(5));
    EXPECT_EQ(rx.take_overflow(), 0u);
    EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
}

TEST(Channel, ClosedChannelGivesUpItsQueueThenDisconnects) {
    auto [tx, rx] = make_bounded_channel<int>(2);
    ASSERT_TRUE(tx.send(1));
    ASSERT_TRUE(tx.send(2));
    EXPECT_FALSE(tx.send(3));
    rx.closer().close();
    // A refused send after the close is not an overflow.
    EXPECT_FALSE(tx.send(4));
    EXPECT_EQ(rx.take_overflow(), 1u);
    EXPECT_EQ(rx.recv().value, 1);
    EXPECT_EQ(rx.recv().value, 2);
    EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
    EXPECT_FALSE(tx.send(5));
}

// The receiving ends of new channels travel over a channel, and a queued
// value may hold a sender of its own channel.
TEST(Channel, ChannelEndsTravelAsValues) {
    auto [announce_tx, announce_rx] = make_channel<Receiver<std::unique_ptr<int>>>();
    auto [stream_tx, stream_rx] = make_channel<std::unique_ptr<int>>();
    ASSERT_TRUE(announce_tx.send(std::move(stream_rx)));
    ASSERT_TRUE(stream_tx.send(std::make_unique<int>(9)));
    auto got = announce_rx.try_recv();
    ASSERT_EQ(got.status, RecvStatus::Value);
    auto item = got.value->try_recv();
    ASSERT_EQ(item.status, RecvStatus::Value);
    EXPECT_EQ(**item.value, 9);

    struct Loop {
        Sender<Loop> back;
    };
    auto [loop_tx, loop_rx] = make_channel<Loop>();
    ASSERT_TRUE(loop_tx.send(Loop{loop_tx}));
    { auto gone = std::move(loop_rx); }
    EXPECT_FALSE(loop_tx.send(Loop{loop_tx}));
}

TEST(Select, RandomModeTakesEitherWhenBothAreReady) {
    constexpr int TRIES = 1000;
    auto [a_tx, a_rx] = make_channel<int>();
    auto [b_tx, b_rx] = make_channel<std::string>();
    for (int i = 0; i < TRIES; ++i) {
        a_tx.send(i);
        b_tx.send(std::to_string(i));
    }
    int firsts = 0, seconds = 0, next_a = 0, next_b = 0;
    for (int i = 0; i < TRIES; ++i) {
        auto s = select(&a_rx, &b_rx, generous(), SelectMode::Random);
        if (s.from == SelectFrom::First) {
            ++firsts;
            EXPECT_EQ(s.first, next_a++);
            EXPECT_FALSE(s.second);
        } else {
            ASSERT_EQ(s.from, SelectFrom::Second);
            ++seconds;
            EXPECT_EQ(s.second, std::to_string(next_b++));
            EXPECT_FALSE(s.first);
        }
    }
    // A fair coin falls below 350 of 1000 with probability under 1e-20.
    EXPECT_GT(firsts, 350);
    EXPECT_GT(seconds, 350);
}

TEST(Select, PreferFirstTakesTheFirstWhileItIsReady) {
    auto [a_tx, a_rx] = make_channel<int>();
    auto [b_tx, b_rx] = make_channel<int>();
    for (int i = 0; i < 50; ++i) {
        a_tx.send(i);
        b_tx.send(100 + i);
    }
    for (int i = 0; i < 50; ++i) {
        auto s = select(&a_rx, &b_rx, generous(), SelectMode::PreferFirst);
        ASSERT_EQ(s.from, SelectFrom::First);
        EXPECT_EQ(s.first, i);
    }
    auto s = select(&a_rx, &b_rx, generous(), SelectMode::PreferFirst);
    EXPECT_EQ(s.from, SelectFrom::Second);
    EXPECT_EQ(s.second, 100);
}

// A disconnected channel is ready and yields no value; the other channel's
// values are still reachable.
TEST(Select, DisconnectedSourceIsReady) {
    auto [a_tx, a_rx] = make_channel<int>();
    auto [b_tx, b_rx] = make_channel<int>();
    { auto gone = std::move(a_tx); }
    auto s = select(&a_rx, &b_rx, generous(), SelectMode::PreferFirst);
    EXPECT_EQ(s.from, SelectFrom::First);
    EXPECT_FALSE(s.first);

    b_tx.send(3);
    s = select(&b_rx, &a_rx, generous(), SelectMode::PreferFirst);
    EXPECT_EQ(s.from, SelectFrom::First);
    EXPECT_EQ(s.first, 3);
}

TEST(CrossThread, BlockedReceiversWakeOnSendAndOnDisconnect) {
    enum class How { Send, LastSenderGone, Closed };
    struct Case {
        const char* name;
        bool select_on_second;  // else a plain recv
        How how;
    };
    const Case cases[] = {
        {"recv, send", false, How::Send},
        {"recv, last sender gone", false, How::LastSenderGone},
        {"recv, closed", false, How::Closed},
        {"select, send", true, How::Send},
        {"select, last sender gone", true, How::LastSenderGone},
        {"select, closed", true, How::Closed},
    };
    for (const Case& c : cases) {
        auto [idle_tx, idle_rx] = make_channel<int>();
        auto [tx, rx] = make_channel<int>();
        std::atomic<bool> waiting{false};
        std::thread waker([&waiting, c, tx = std::move(tx), closer = rx.closer()]() mutable {
            while (!waiting.load()) std::this_thread::yield();
            // The receiver is in its wait (or about to be): either works.
            std::this_thread::sleep_for(5ms);
            if (c.how == How::LastSenderGone) {
                auto gone = std::move(tx);
            } else if (c.how == How::Closed) {
                closer.close();
            } else {
                tx.send(42);
            }
        });
        waiting.store(true);
        const bool ends = c.how != How::Send;
        if (c.select_on_second) {
            auto s = select(&idle_rx, &rx, NO_DEADLINE, SelectMode::Random);
            EXPECT_EQ(s.from, SelectFrom::Second) << c.name;
            EXPECT_EQ(s.second, ends ? std::nullopt : std::optional<int>(42)) << c.name;
        } else {
            auto r = rx.recv_until(generous());
            EXPECT_EQ(r.status, ends ? RecvStatus::Disconnected : RecvStatus::Value) << c.name;
        }
        waker.join();
    }
}

// Senders on both channels race a receiver that selects with short
// deadlines; every value arrives exactly once.
TEST(CrossThread, SelectUnderContentionLosesNothing) {
    constexpr int EACH = 3000;
    auto [a_tx, a_rx] = make_channel<int>();
    auto [b_tx, b_rx] = make_channel<int>();
    std::thread ta([tx = std::move(a_tx)] {
        for (int i = 0; i < EACH; ++i) tx.send(i);
    });
    std::thread tb([tx = std::move(b_tx)] {
        for (int i = 0; i < EACH; ++i) tx.send(i);
    });
    int next_a = 0, next_b = 0;
    bool a_open = true, b_open = true;
    while (a_open || b_open) {
        auto s = select(a_open ? &a_rx : nullptr, b_open ? &b_rx : nullptr, Clock::now() + 1ms,
                        SelectMode::Random);
        if (s.from == SelectFrom::First) {
            if (!s.first) a_open = false;
            else ASSERT_EQ(*s.first, next_a++);
        } else if (s.from == SelectFrom::Second) {
            if (!s.second) b_open = false;
            else ASSERT_EQ(*s.second, next_b++);
        }
    }
    ta.join();
    tb.join();
    EXPECT_EQ(next_a, EACH);
    EXPECT_EQ(next_b, EACH);
}

}  // namespace
}  // namespace vesk
