#include "consensus/liveness_tracker.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "base/contract.hpp"
#include "base/diag.hpp"
#include "base/text.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using Tracker = LivenessTracker<SimulatedTimestamper>;

constexpr nanoseconds MAX_NS = nanoseconds::max();

struct Line {
    diag::Level level;
    std::string text;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& l, std::ostream* os) { *os << static_cast<int>(l.level) << ": " << l.text; }

// Installs a logger for the scope of one test.
struct CapturedLog : diag::Logger {
    std::vector<Line> lines;
    CapturedLog() { diag::set_logger(this); }
    ~CapturedLog() override { diag::set_logger(nullptr); }
    void log(diag::Level level, std::string_view target, std::string_view text) override {
        EXPECT_EQ(target, "vesk_consensus::liveness_tracker");
        lines.push_back(Line{level, std::string(text)});
    }
};

// A tracker whose progress time equals its clock's reading: the clock is
// first moved onto a whole second, which a millisecond timestamp can name.
struct Started {
    SimulatedTimestamper clock;
    WallTime start;
    Tracker tracker;
};

Started start(nanoseconds timeout) {
    SimulatedTimestamper clock;
    if (clock.now().nanos != 0) clock.advance(nanoseconds(1'000'000'000 - clock.now().nanos));
    WallTime t = clock.now();
    return Started{clock, t, Tracker(t.unix_millis(), timeout, clock)};
}

TEST(LivenessTracker, StartsFromTheTipTimestampAndSharesItsClock) {
    auto s = start(2s);
    EXPECT_EQ(s.tracker.last_progress_at(), s.start);
    EXPECT_EQ(s.tracker.timeout(), 2s);
    s.clock.advance(5ms);
    EXPECT_EQ(s.tracker.now(), s.start.plus(5ms));
    EXPECT_EQ(s.tracker.timestamper().now(), s.start.plus(5ms));
}

TEST(LivenessTracker, RefusesAZeroOrNegativeTimeout) {
    for (auto [timeout, message] : {std::pair{0ns, "vesk liveness timeout must be non-zero"},
                                    std::pair{-1ns, "vesk liveness timeout must not be negative"}}) {
        try {
            Tracker(0, timeout, SimulatedTimestamper{});
            ADD_FAILURE() << "accepted " << timeout.count();
        } catch (const ContractFailure& f) {
            EXPECT_EQ(f.message(), message);
        }
    }
}

TEST(LivenessTracker, ProgressTimeFromMilliseconds) {
    struct Case {
        int64_t ms;
        WallTime expected;
    };
    const Case cases[] = {
        {0, {0, 0}},
        {999, {0, 999'000'000}},
        {1'500, {1, 500'000'000}},
        {1'700'000'000'123, {1'700'000'000, 123'000'000}},
        {std::numeric_limits<int64_t>::max(), {9'223'372'036'854'775, 807'000'000}},
    };
    CapturedLog log;
    Tracker tracker(5, 1s, SimulatedTimestamper{});
    for (const auto& c : cases) {
        tracker.set_last_progress_at(c.ms);
        EXPECT_EQ(tracker.last_progress_at(), c.expected) << c.ms;
    }
    EXPECT_TRUE(log.lines.empty());
}

TEST(LivenessTracker, NegativeTimestampKeepsTheProgressTime) {
    CapturedLog log;
    Tracker fresh(-1, 1s, SimulatedTimestamper{});
    EXPECT_EQ(fresh.last_progress_at(), WallTime{});

    fresh.set_last_progress_at(2'500);
    fresh.set_last_progress_at(std::numeric_limits<int64_t>::min());
    EXPECT_EQ(fresh.last_progress_at(), (WallTime{2, 500'000'000}));

    EXPECT_EQ(log.lines,
              (std::vector<Line>{
                  {diag::Level::Error,
                   "liveness tracker: failed to update progressed at to -1 unix milliseconds (failed to cast to u64)"},
                  {diag::Level::Error, "liveness tracker: failed to update progressed at to -9223372036854775808 unix "
                                       "milliseconds (failed to cast to u64)"},
              }));
}

TEST(LivenessTracker, CountsTimeoutsLapByLap) {
    struct Case {
        const char* name;
        nanoseconds timeout;
        size_t n;
        uint64_t rotations;
        nanoseconds elapsed;
        uint32_t expected;
        nanoseconds moved;
    };
    const Case cases[] = {
        {"lap 0 stops at its end", 2s, 4, 0, 10s, 4, 8s},
        {"lap 1 doubles", 2s, 4, 4, 10s, 2, 8s},
        {"start inside a lap", 1s, 4, 3, 5s, 3, 5s},
        {"laps 0 to 3, then sixteen times", 1s, 2, 0, 78'500ms, 11, 78s},
        {"lap 4 has no room limit", 2s, 4, 16, 200s, 6, 192s},
        {"lap 40 stays at sixteen times", 1s, 1, 40, 100s, 6, 96s},
        {"saturated rotations", 1s, 1, UINT64_MAX, 100s, 6, 96s},
        {"no members: base timeout only", 2s, 0, 7, 11s, 5, 10s},
        {"just short of one step", 2s, 4, 0, 1'999'999'999ns, 0, 0s},
        {"no time passed", 2s, 4, 0, 0s, 0, 0s},
        // UINT32_MAX steps of 1 ns fill lap 0, then 2'516'352 of 2 ns follow.
        {"result saturates", 1ns, UINT32_MAX, 0, 4'300'000'000ns, UINT32_MAX, 4'299'999'999ns},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        auto s = start(c.timeout);
        s.clock.advance(c.elapsed);
        EXPECT_EQ(s.tracker.maybe_timeout(c.rotations, c.n), c.expected);
        EXPECT_EQ(s.tracker.last_progress_at(), s.start.plus(c.moved));
        // What was counted is consumed.
        EXPECT_EQ(s.tracker.maybe_timeout(sat_add(c.rotations, uint64_t{c.expected}), c.n), 0u);
        EXPECT_TRUE(log.lines.empty());
    }
}

// The harness way: short ticks, each counted timeout rotating onwards, reach
// the same rotation count and progress time as one long wait.
TEST(LivenessTracker, ShortTicksCountLikeOneLongWait) {
    auto s = start(1s);
    uint64_t rotations = 0;
    for (int tick = 0; tick < 7'850; ++tick) {
        s.clock.advance(10ms);
        rotations += s.tracker.maybe_timeout(rotations, 2);
    }
    EXPECT_EQ(rotations, 11u);
    EXPECT_EQ(s.tracker.last_progress_at(), s.start.plus(78s));
}

TEST(LivenessTracker, ClockBehindProgressCountsNothing) {
    CapturedLog log;
    auto s = start(1ns);
    s.tracker.set_last_progress_at(s.start.unix_millis() + 1);
    const WallTime ahead = s.start.plus(1ms);
    EXPECT_EQ(s.tracker.maybe_timeout(0, 4), 0u);
    EXPECT_EQ(s.tracker.last_progress_at(), ahead);
    EXPECT_EQ(log.lines,
              (std::vector<Line>{{diag::Level::Warn, "liveness tracker: failed to measure elapsed duration"}}));

    s.clock.advance(1ms);  // level with the progress time: nothing elapsed, no warning
    EXPECT_EQ(s.tracker.maybe_timeout(0, 4), 0u);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(LivenessTracker, RefusesToConsumeMoreThanU32StepsAtOnce) {
    struct Case {
        const char* name;
        size_t n;
        nanoseconds elapsed;
        uint32_t expected;
        nanoseconds moved;
        const char* error;
    };
    const Case cases[] = {
        {"in the first pass", 0, 5s, 0, 0ns,
         "liveness tracker: failed to shift progress timestamp by 5000000000 steps of 1ns"},
        // Laps 0 to 3 take one step each (1 + 2 + 4 + 8 ns) before lap 4 refuses.
        {"after the doubling laps", 1, 100s, 4, 15ns,
         "liveness tracker: failed to shift progress timestamp by 6249999999 steps of 16ns"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        auto s = start(1ns);
        s.clock.advance(c.elapsed);
        EXPECT_EQ(s.tracker.maybe_timeout(0, c.n), c.expected);
        EXPECT_EQ(s.tracker.last_progress_at(), s.start.plus(c.moved));
        EXPECT_EQ(log.lines, (std::vector<Line>{{diag::Level::Error, c.error}}));
    }
}

TEST(LivenessTracker, ShiftsByTheStepsOfTheirRotationCounts) {
    struct Case {
        nanoseconds timeout;
        uint64_t rotations;
        size_t n;
        uint32_t steps;
        nanoseconds moved;
    };
    const Case cases[] = {
        {2s, 0, 4, 1, 2s},
        {2s, 3, 4, 2, 6s},  // the last step of lap 0, then the first of lap 1
        {1s, 0, 2, 11, 78s},
        {2s, 5, 0, 3, 6s},  // no members: base timeout only
        {1s, UINT64_MAX, 1, 2, 32s},
        {2s, 0, 4, 0, 0s},
        // Too many to take one by one: 1 + 2 + 4 + 8 ns, then 16 ns each.
        {1ns, 0, 1, UINT32_MAX, nanoseconds(15 + 16 * (int64_t{UINT32_MAX} - 4))},
        // A step of sixteen times the base saturates at the largest duration.
        {MAX_NS / 8, 4, 1, 1, MAX_NS},
    };
    CapturedLog log;
    for (const auto& c : cases) {
        auto s = start(c.timeout);
        EXPECT_TRUE(s.tracker.shift_progress_at_on_rotations(c.rotations, c.n, c.steps));
        EXPECT_EQ(s.tracker.last_progress_at(), s.start.plus(c.moved)) << c.rotations << " " << c.steps;
    }
    EXPECT_TRUE(log.lines.empty());
}

TEST(LivenessTracker, OverflowingShiftChangesNothing) {
    CapturedLog log;
    auto s = start(MAX_NS);
    // 2^32 - 1 steps of about 292 years go past the last representable second.
    EXPECT_FALSE(s.tracker.shift_progress_at_on_rotations(0, 0, UINT32_MAX));
    EXPECT_EQ(s.tracker.last_progress_at(), s.start);
    EXPECT_EQ(log.lines, (std::vector<Line>{{diag::Level::Error,
                                             "liveness tracker: failed to shift progress timestamp by 4294967295 steps"}}));
}

TEST(LivenessTracker, DurationDebugForm) {
    struct Case {
        nanoseconds d;
        const char* text;
    };
    const Case cases[] = {
        {0ns, "0ns"},
        {7ns, "7ns"},
        {1'500ns, "1.5\u00b5s"},
        {250ms, "250ms"},
        {1'000'001ns, "1.000001ms"},
        {2s, "2s"},
        {1'500ms, "1.5s"},
        {1'000'000'001ns, "1.000000001s"},
        {MAX_NS, "9223372036.854775807s"},
    };
    for (const auto& c : cases) EXPECT_EQ(format("{:?}", DurationForm{c.d}), c.text);
}

}  // namespace
}  // namespace vesk
