#pragma once
// The threaded run: keys and nodes for n validators, the network
// configuration, the script's timed actions and the main loop that drives a
// Simulation until a limit or an interrupt ends it. The choices of the loop
// are plain functions of elapsed time, so they can be checked without
// threads.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/command_line.hpp"
#include "sim/imperfect_channels.hpp"
#include "sim/logging.hpp"
#include "sim/node_logic.hpp"
#include "sim/script.hpp"

namespace vesk {

// The BLS key generation input of node `index`. Without a seed the keys are
// derived as with seed 0, so they are the same on every run.
std::array<uint8_t, 32> node_key_seed(std::optional<uint64_t> seed, uint64_t index);

// The view's slots and the liveness timeout of every node.
inline constexpr uint64_t VIEW_START_SLOT = 0;
inline constexpr uint64_t VIEW_END_SLOT = 100;
inline constexpr std::chrono::seconds LIVENESS_TIMEOUT{2};

// Node i is built from key seed i; all share one view with stake 1 each.
std::vector<std::unique_ptr<ConsensusNodeLogic>> build_nodes(std::optional<uint64_t> seed, uint64_t n);

// The preset (or the default link), then each override that was given.
ChannelConfig resolve_channel_config(const RunSimOptions& options);

// "Starting simulation: ..." with its line feed.
std::string start_line(const RunSimOptions& options, uint64_t tick_ms, uint64_t sleep_ms, uint64_t n,
                       const ChannelConfig& config);

// The limits of the main loop, checked at the start of every iteration.
class RunLimits {
public:
    RunLimits(std::optional<uint64_t> duration_secs, std::optional<uint64_t> rounds)
        : duration_secs_(duration_secs), rounds_left_(rounds) {}

    // Whether one more iteration runs after `elapsed`; if so it is counted.
    bool begin_iteration(std::chrono::nanoseconds elapsed);

private:
    std::optional<uint64_t> duration_secs_;
    std::optional<uint64_t> rounds_left_;
};

// One order of a script command, in sending order.
struct NodeOrder {
    size_t node = 0;
    NodeControlMessage message = NodeControlMessage::Pause;
};
using ControlOrder = std::variant<ExchangeControlMessage, NodeOrder>;

// The orders of one script command in a run of n nodes. Ids with no node
// are skipped, and so is a route whose two ends are the same node.
std::vector<ControlOrder> control_orders(const ScriptCommand& command, size_t n);

// The script's actions in their loaded order, each run once when its time
// has come.
class DueActions {
public:
    explicit DueActions(const std::vector<ScriptAction>* actions) : actions_(actions) {}

    // f(action) for every action not yet run whose time is at or before
    // `elapsed_secs`, in order.
    template <class F>
    void run_due(double elapsed_secs, F&& f) {
        if (actions_ == nullptr) return;
        while (next_ < actions_->size() && (*actions_)[next_].at_secs <= elapsed_secs) f((*actions_)[next_++]);
    }

private:
    const std::vector<ScriptAction>* actions_;
    size_t next_ = 0;
};

// "[script @ 1.5s] text" without its line feed, or none without a
// description; control characters of the description are shown escaped, so
// it is one line.
std::optional<std::string> action_line(const ScriptAction& action);

// How long the log may take to catch up after an interrupt before the
// program says why it has not ended yet, and what it says then.
inline constexpr std::chrono::milliseconds LOG_CATCH_UP_PATIENCE{250};
inline constexpr const char* QUEUED_LOG_NOTICE =
    "Printing the log still queued for standard output before shutting down; press Ctrl+C again to end at once\n";

// Waits until done_within(wait) says the printer is done with the closed
// log. From the first interrupt on, whether the loop saw it (`interrupted`)
// or it comes during this wait, a printer still busy LOG_CATCH_UP_PATIENCE
// later gets notify() once: the program would otherwise wait on a stalled
// reader without a word.
template <class DoneWithin, class Notify>
void wait_for_printer(DoneWithin&& done_within, bool interrupted, const std::atomic<bool>& running,
                      Notify&& notify) {
    using Clock = std::chrono::steady_clock;
    // How soon an interrupt during the wait is seen.
    constexpr std::chrono::milliseconds step{20};
    std::optional<Clock::time_point> since;
    if (interrupted) since = Clock::now();
    bool told = false;
    for (;;) {
        if (!since && !running.load()) since = Clock::now();
        std::chrono::nanoseconds wait = step;
        if (since && !told) {
            const auto left = *since + LOG_CATCH_UP_PATIENCE - Clock::now();
            if (left <= left.zero()) {
                if (done_within(std::chrono::nanoseconds::zero())) return;
                notify();
                told = true;
            } else {
                wait = std::min<std::chrono::nanoseconds>(wait, left);
            }
        }
        if (done_within(wait)) return;
    }
}

// Sets up and drives one threaded run; the caller has applied the defaults
// and checked 1 <= n <= 16. Returns the exit status: 1 after a script error,
// else 0 once the loop has ended and the simulation is dropped.
int run_sim_with_nodes(const RunSimOptions& options, uint64_t tick_ms, uint64_t sleep_ms, uint64_t n);

}  // namespace vesk
