#include "sim/logging.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

BlsPubkey key(uint8_t first) {
    BlsPubkey k;
    k.bytes.fill(0x77);
    k.bytes[0] = first;
    k.bytes[1] = 0x1b;
    k.bytes[2] = 0x2c;
    k.bytes[3] = 0x3d;
    return k;
}

const BlsPubkey K1 = key(0x0a);
const std::string K1_TEXT = "0a1b2c3d77777777...";

ChannelLogRecord consensus_record(ConsensusLogEvent e, uint64_t nanos, LogSource source) {
    return ChannelLogRecord{LogMessage{LogMessage::Consensus{std::move(e)}}, Timestamp{nanos}, std::move(source)};
}

LogSource node_source(const BlsPubkey& k) { return LogSource{LogSource::Node{k}}; }

// The line as the terminal shows it, built from its visible pieces.
std::string coloured(const std::string& time, const std::string& source, const std::string& message) {
    return "\x1b[2m" + time + "\x1b[0m \x1b[36m[src " + source + "]\x1b[0m " + message;
}

TEST(LogTimeText, SixFieldsWithDaysDropped) {
    struct Case {
        uint64_t nanos;
        const char* text;
    };
    const Case cases[] = {
        {0, "00:00:00.000.000.000"},
        {3'723'004'005'006, "01:02:03.004.005.006"},
        {1'500'000'000, "00:00:01.500.000.000"},
        {25ull * 3'600'000'000'000, "01:00:00.000.000.000"},
        {86'399'999'999'999, "23:59:59.999.999.999"},
        {UINT64_MAX, "23:34:33.709.551.615"},
    };
    for (const Case& c : cases) EXPECT_EQ(log_time_text(Timestamp{c.nanos}), c.text) << c.nanos;
}

TEST(LogLine, ProposingEventOfANode) {
    ChannelLogRecord r = consensus_record(events::VeskProposing{12}, 1'500'000'000, node_source(K1));
    EXPECT_EQ(log_line(r), "\x1b[2m00:00:01.500.000.000\x1b[0m \x1b[36m[src 0a1b2c3d77777777...]\x1b[0m "
                           "VeskProposing { slot: 12 }");
}

TEST(LogLine, EachSourceForm) {
    struct Case {
        LogSource source;
        std::string text;
    };
    const std::vector<Case> cases = {
        {node_source(K1), K1_TEXT},
        {LogSource{LogSource::Named{"alpha"}}, "alpha"},
        {LogSource{LogSource::Exchange{}}, "exchange"},
    };
    for (const Case& c : cases) {
        ChannelLogRecord r = consensus_record(events::VeskProgressCheck{}, 0, c.source);
        EXPECT_EQ(log_line(r), coloured("00:00:00.000.000.000", c.text, "VeskProgressCheck"));
    }
}

TEST(LogLine, NodeControlPrintsTheBareOrder) {
    struct Case {
        NodeControlMessage order;
        const char* text;
    };
    const Case cases[] = {
        {NodeControlMessage::Pause, "Pause"},
        {NodeControlMessage::Resume, "Resume"},
        {NodeControlMessage::Finish, "Finish"},
    };
    for (const Case& c : cases) {
        ChannelLogRecord r{LogMessage{LogMessage::NodeControl{c.order}}, Timestamp{3'723'004'005'006}, node_source(K1)};
        EXPECT_EQ(log_line(r), coloured("01:02:03.004.005.006", K1_TEXT, c.text));
    }
}

TEST(LogLine, ExchangeEventsFromTheExchange) {
    const ChannelConfig config{2.0f, 0.0f, 0.0f, 0.0f};
    const std::string config_text =
        "ChannelConfig { latency_base_ms: 2.0, latency_jitter_log_mean: 0.0, latency_jitter_log_stddev: 0.0, "
        "packetdrop_prob: 0.0 }";
    struct Case {
        ExchangeLogEvent event;
        std::string text;
    };
    const std::vector<Case> cases = {
        {ExchangeLogEvent{ExchangeLogEvent::RouteConfigUnset{RouteDescriptor{0, 3}}},
         "RouteConfigUnset(RouteDescriptor(0, 3))"},
        {ExchangeLogEvent{ExchangeLogEvent::RouteConfigSet{RouteDescriptor{0, 3}, RouteConfig{config, 1}}},
         "RouteConfigSet(RouteDescriptor(0, 3), RouteConfig { body: " + config_text + ", config_priority: 1 })"},
        {ExchangeLogEvent{ExchangeLogEvent::DefaultConfigChanged{config}}, "DefaultConfigChanged(" + config_text + ")"},
    };
    for (const Case& c : cases) {
        ChannelLogRecord r{LogMessage{LogMessage::Exchange{c.event}}, Timestamp{1'500'000'000},
                           LogSource{LogSource::Exchange{}}};
        EXPECT_EQ(log_line(r), coloured("00:00:01.500.000.000", "exchange", c.text));
    }
}

TEST(LogLine, ConsensusEventWithTextFieldKeepsItsOwnForm) {
    ChannelLogRecord r = consensus_record(events::ParkFailed{"vote"}, 0, node_source(K1));
    EXPECT_EQ(log_line(r), coloured("00:00:00.000.000.000", K1_TEXT, R"(ParkFailed { msg_kind: "vote" })"));
}

TEST(LogLine, NodeRecordHasTheSameLineAsItsChannelRecord) {
    NodeLogRecord node{events::VeskProposing{7}, Timestamp{42}, K1};
    ChannelLogRecord channel = consensus_record(node.message, node.timestamp.nanos, node_source(node.source));
    EXPECT_EQ(log_line(node), log_line(channel));
}

std::string read_all(std::FILE* f) {
    std::rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

TEST(LogPrinter, WritesWholeLinesInChannelOrderAndEndsWhenSendersAreGone) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    StreamWriter out(fileno(file));
    auto [tx, rx] = make_channel<ChannelLogRecord>();
    std::thread printer = spawn_log_printer(std::move(rx), out);
    std::vector<std::string> expected;
    for (uint64_t slot = 0; slot < 5; ++slot) {
        ChannelLogRecord r = consensus_record(events::VeskProposing{slot}, slot * 1'000, node_source(K1));
        expected.push_back(log_line(r) + "\n");
        EXPECT_TRUE(tx.send(std::move(r)));
    }
    ChannelLogRecord pause{LogMessage{LogMessage::NodeControl{NodeControlMessage::Pause}}, Timestamp{9},
                           node_source(K1)};
    expected.push_back(log_line(pause) + "\n");
    EXPECT_TRUE(tx.send(std::move(pause)));
    // A driver's line prints as it stands, in its place among the records.
    EXPECT_TRUE(tx.send(ChannelLogRecord{LogMessage{LogMessage::Line{"[script @ 1.0s] heal"}}, Timestamp{10},
                                         LogSource{LogSource::Named{"driver"}}}));
    expected.push_back("[script @ 1.0s] heal\n");
    EXPECT_TRUE(tx.send(consensus_record(events::VeskProposing{9}, 11, node_source(K1))));
    expected.push_back(log_line(consensus_record(events::VeskProposing{9}, 11, node_source(K1))) + "\n");
    { auto drop = std::move(tx); }
    printer.join();

    std::string want;
    for (const std::string& line : expected) want += line;
    EXPECT_EQ(read_all(file), want);
    std::fclose(file);
}

TEST(LogPrinter, LinesOfAnotherWriterLandBetweenWholeLines) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    StreamWriter out(fileno(file));
    auto [tx, rx] = make_channel<ChannelLogRecord>();
    std::thread printer = spawn_log_printer(std::move(rx), out);
    const std::string event_line = log_line(consensus_record(events::VeskProgressCheck{}, 0, node_source(K1))) + "\n";
    const std::string other_line = std::string(300, 'x') + "\n";
    constexpr int COUNT = 200;
    for (int i = 0; i < COUNT; ++i) {
        EXPECT_TRUE(tx.send(consensus_record(events::VeskProgressCheck{}, 0, node_source(K1))));
        // The other writer goes through the same writer, as the driver's lines do.
        out.write(other_line);
    }
    { auto drop = std::move(tx); }
    printer.join();

    std::string all = read_all(file);
    int events_seen = 0;
    int others_seen = 0;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos) + 1;
        ASSERT_NE(end, 0u);
        std::string line = all.substr(pos, end - pos);
        if (line == event_line) {
            ++events_seen;
        } else {
            ASSERT_EQ(line, other_line);
            ++others_seen;
        }
        pos = end;
    }
    EXPECT_EQ(events_seen, COUNT);
    EXPECT_EQ(others_seen, COUNT);
    std::fclose(file);
}

TEST(LogPrinter, KeepsDrainingAfterTheStreamFails) {
    // A stream opened for reading refuses every write.
    std::FILE* file = std::fopen("/dev/null", "r");
    ASSERT_NE(file, nullptr);
    StreamWriter out(fileno(file));
    auto [tx, rx] = make_channel<ChannelLogRecord>();
    std::thread printer = spawn_log_printer(std::move(rx), out);
    for (uint64_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(tx.send(consensus_record(events::VeskProgressCheck{}, i, node_source(K1))));
    }
    { auto drop = std::move(tx); }
    printer.join();
    EXPECT_EQ(out.error(), EBADF);
    std::fclose(file);
}

// Reads from `fd` until `count` more line feeds have come.
std::string read_lines(int fd, int count) {
    std::string out;
    char c;
    while (count > 0 && read(fd, &c, 1) == 1) {
        out += c;
        if (c == '\n') --count;
    }
    return out;
}

TEST(LogPrinter, TellsHowManyRecordsTheFullBacklogRefusedOnceItHasCaughtUp) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    StreamWriter out(fds[1]);
    auto [tx, rx] = make_bounded_channel<ChannelLogRecord>(4);
    auto record = [k = uint64_t{0}]() mutable {
        ++k;
        return consensus_record(events::VeskProposing{k}, k, node_source(K1));
    };
    std::string want;
    for (int i = 0; i < 7; ++i) {
        ChannelLogRecord r = record();
        if (i < 4) want += log_line(r) + "\n";
        tx.send(std::move(r));
    }
    std::thread printer = spawn_log_printer(std::move(rx), out);
    EXPECT_EQ(read_lines(fds[0], 5), want + "Log records not printed because standard output fell behind: 3\n");
    // Nothing refused since: no second notice.
    ChannelLogRecord later = record();
    const std::string later_line = log_line(later) + "\n";
    ASSERT_TRUE(tx.send(std::move(later)));
    EXPECT_EQ(read_lines(fds[0], 1), later_line);
    { auto drop = std::move(tx); }
    printer.join();
    close(fds[1]);
    EXPECT_EQ(read_lines(fds[0], 1), "");
    close(fds[0]);
}

TEST(LogPrinter, AClosedLogIsPrintedToItsEndAndThenTheNotice) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    StreamWriter out(fileno(file));
    auto [tx, rx] = make_bounded_channel<ChannelLogRecord>(2);
    ChannelLogRecord first = consensus_record(events::VeskProposing{1}, 1, node_source(K1));
    ChannelLogRecord second = consensus_record(events::VeskProposing{2}, 2, node_source(K1));
    const std::string want = log_line(first) + "\n" + log_line(second) + "\n" +
                             "Log records not printed because standard output fell behind: 1\n";
    tx.send(std::move(first));
    tx.send(std::move(second));
    tx.send(consensus_record(events::VeskProposing{3}, 3, node_source(K1)));
    rx.closer().close();
    // Made after the close: neither printed nor counted.
    tx.send(consensus_record(events::VeskProposing{4}, 4, node_source(K1)));
    // The sender is still alive: the close alone ends the printer.
    run_log_printer(std::move(rx), out);
    EXPECT_EQ(read_all(file), want);
    std::fclose(file);
}

}  // namespace
}  // namespace vesk
