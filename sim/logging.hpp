#pragma once
// The event log: log records, their text forms, the line format and the
// printer that turns the log channel into lines on an output stream.
#include <cstddef>
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
    std::variant<Consensus, NodeControl, Exchange> value;
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
    } else {
        debug(out, std::get<typename M::Exchange>(m.value).event);
    }
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
// seconds of the heaviest log (sixteen nodes ticking every millisecond make
// about 16,000 a second), some 250 bytes each. A reader that keeps up never
// meets the bound; a slower one cannot make the backlog grow past it.
inline constexpr size_t LOG_BACKLOG_RECORDS = size_t{1} << 18;

// The line, with its line feed, that tells how many records were not
// printed because a full channel refused them.
std::string lost_records_line(size_t count);

// The line without its line feed: dim time, cyan source tag, then the
// message's debug text.
template <class Id, class Event>
void display(std::string& out, const LogEvent<Id, Event>& r) {
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
// that thread.
template <class Id, class Event>
std::thread spawn_log_printer(Receiver<LogEvent<Id, Event>> records, StreamWriter& out) {
    return std::thread([records = std::move(records), &out]() mutable {
        run_thread_body([&] { run_log_printer(std::move(records), out); });
    });
}

}  // namespace vesk
