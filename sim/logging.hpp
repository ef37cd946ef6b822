#pragma once
// The event log: log records, their text forms, the line format and the
// printer that turns the log channel into lines on an output stream.
#include <cstddef>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "base/channel.hpp"
#include "base/contract.hpp"
#include "base/stream_writer.hpp"
#include "base/text.hpp"
#include "consensus/consensus_log_event.hpp"
#include "consensus/types.hpp"
#include "sim/imperfect_channels.hpp"
#include "sim/node_control.hpp"
#include "sim/timestamp.hpp"

namespace vesk {

// One log record.
template <class Id, class Event>
struct LogEvent {
    Event message;
    Timestamp timestamp;  // log time, taken when the record was made
    Id source;
};

template <class Event>
struct ExtendedLogMessage {
    struct Consensus {
        Event event;
    };
    struct NodeControl {
        NodeControlMessage message;
    };
    struct Exchange {
        ExchangeLogEvent event;
    };
    // A line of the run's driver (a script action's line), carried with the
    // records so that it lands among those of its time and never waits for
    // the reader; it prints as it stands, without time or source.
    struct Line {
        std::string text;
    };
    std::variant<Consensus, NodeControl, Exchange, Line> value;
};

template <class Id>
struct ExtendedLogSource {
    struct Node {
        Id id;
    };
    struct Named {
        std::string name;
    };
    struct Exchange {};
    std::variant<Node, Named, Exchange> value;
};

// What a node reports, and what the log channel carries.
using NodeLogRecord = LogEvent<BlsPubkey, ConsensusLogEvent>;
using LogSource = ExtendedLogSource<BlsPubkey>;
using LogMessage = ExtendedLogMessage<ConsensusLogEvent>;
using ChannelLogRecord = LogEvent<LogSource, LogMessage>;

// The carried value's own text, with no wrapper.
template <class Event>
void debug(std::string& out, const ExtendedLogMessage<Event>& m) {
    using M = ExtendedLogMessage<Event>;
    if (const auto* c = std::get_if<typename M::Consensus>(&m.value)) {
        debug(out, c->event);
    } else if (const auto* n = std::get_if<typename M::NodeControl>(&m.value)) {
        debug(out, n->message);
    } else if (const auto* x = std::get_if<typename M::Exchange>(&m.value)) {
        debug(out, x->event);
    } else {
        out += std::get<typename M::Line>(m.value).text;
    }
}

// The text of a message that is a whole line of its own, or none for one
// that prints as a record.
template <class Event>
const std::string* own_line(const ExtendedLogMessage<Event>& m) {
    const auto* line = std::get_if<typename ExtendedLogMessage<Event>::Line>(&m.value);
    return line ? &line->text : nullptr;
}
template <class Event>
const std::string* own_line(const Event&) {
    return nullptr;
}

template <class Id>
void display(std::string& out, const ExtendedLogSource<Id>& s) {
    using S = ExtendedLogSource<Id>;
    if (const auto* n = std::get_if<typename S::Node>(&s.value)) {
        display(out, n->id);
    } else if (const auto* named = std::get_if<typename S::Named>(&s.value)) {
        out += named->name;
    } else {
        out += "exchange";
    }
}

// Six fields "HH:MM:SS.mmm.uuu.nnn"; whole days are dropped.
void append_log_time(std::string& out, Timestamp t);
std::string log_time_text(Timestamp t);

namespace logging_detail {
void append_line_prefix(std::string& out, Timestamp t);
void append_source_open(std::string& out);
void append_source_close(std::string& out);
}  // namespace logging_detail

// The most records the log channel holds for the printer: more than ten
// seconds of the heaviest steady log (sixteen nodes ticking every
// millisecond make about 16,000 a second), some 250 bytes each. What meets
// the bound is records made faster than the reader takes them: a reader
// that falls behind, or a burst, such as a script action that orders tens of
// thousands of pauses at one instant, even into a fast reader. A slower
// reader cannot make the backlog grow past it with records; the driver's
// action lines, never dropped, come on top, bounded only by the script's
// size.
inline constexpr size_t LOG_BACKLOG_RECORDS = size_t{1} << 18;

// The line, with its line feed, that tells how many records were not
// printed because a full channel refused them.
std::string lost_records_line(size_t count);

// The line without its line feed: dim time, cyan source tag, then the
// message's debug text; a driver's line alone.
template <class Id, class Event>
void display(std::string& out, const LogEvent<Id, Event>& r) {
    if (const std::string* line = own_line(r.message)) {
        out += *line;
        return;
    }
    logging_detail::append_line_prefix(out, r.timestamp);
    logging_detail::append_source_open(out);
    display(out, r.source);
    logging_detail::append_source_close(out);
    debug(out, r.message);
}

template <class Id, class Event>
std::string log_line(const LogEvent<Id, Event>& r) {
    std::string s;
    display(s, r);
    return s;
}

// Prints each record as one line, in channel order, until the channel is
// closed or every sender is gone. Whenever it has caught up (nothing is
// queued) it first tells how many records the channel refused since it last
// looked. After the stream fails the records are still taken and dropped.
template <class Id, class Event>
void run_log_printer(Receiver<LogEvent<Id, Event>> records, StreamWriter& out) {
    auto caught_up = [&] {
        if (size_t lost = records.take_overflow(); lost != 0) out.write(lost_records_line(lost));
    };
    std::string line;
    for (;;) {
        Received<LogEvent<Id, Event>> got = records.try_recv();
        if (got.status == RecvStatus::Timeout) {
            caught_up();
            got = records.recv();
        }
        if (got.status != RecvStatus::Value) {
            caught_up();
            return;
        }
        if (out.error() != 0) continue;
        line.clear();
        display(line, *got.value);
        line += '\n';
        out.write(line);
    }
}

// Starts the printer on a thread of its own; a contract failure ends only
// that thread. `done` is kept once the printer has ended, however it ended.
template <class Id, class Event>
std::thread spawn_log_printer(Receiver<LogEvent<Id, Event>> records, StreamWriter& out,
                              std::promise<void> done = {}) {
    return std::thread([records = std::move(records), &out, done = std::move(done)]() mutable {
        run_thread_body([&] { run_log_printer(std::move(records), out); });
        done.set_value();
    });
}

}  // namespace vesk
