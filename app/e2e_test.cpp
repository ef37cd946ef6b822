// The built vesk-sim run as a separate process: what it prints on which
// stream, and how it ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: the machine may be loaded and the build instrumented.
constexpr auto PROCESS_LIMIT = 120s;

// Where the program's standard output goes.
enum class Output {
    Pipe,             // a pipe the test reads
    NonBlockingPipe,  // the same pipe, its writing end in non-blocking mode
    DevFull,          // /dev/full: every write fails for want of space
    Closed,           // no standard output at all
    File,             // a file the test names, read once the program has ended
};

// How to start the program besides its arguments.
struct Start {
    // Argument 0 when it is not the program's path.
    std::optional<std::string> argv0;
    // A limit on the process's address space, in bytes.
    std::optional<rlim_t> address_space;
    // With an address-space limit: a limit on the stack, which sets the
    // size of every thread's stack too.
    std::optional<rlim_t> stack;
    // A limit on the size of the files the process writes, in bytes.
    std::optional<rlim_t> file_size = std::nullopt;
};

struct StandardOutput {
    Output kind = Output::Pipe;
    // The capacity of the pipe, when not the system's.
    std::optional<int> pipe_bytes;
    // The file of Output::File.
    std::string path = {};
};

// One run of the program with both output streams captured through pipes
// and standard input from /dev/null.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const Start& start = {},
                   const StandardOutput& output = {}) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::abort();
        if (output.pipe_bytes && fcntl(out[1], F_SETPIPE_SZ, *output.pipe_bytes) < 0) std::abort();
        if (output.kind == Output::NonBlockingPipe && fcntl(out[1], F_SETFL, O_NONBLOCK) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (output.kind == Output::DevFull) {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
        } else if (output.kind == Output::File) {
            posix_spawn_file_actions_addopen(&actions, 1, output.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        } else if (output.kind == Output::Closed) {
            posix_spawn_file_actions_addclose(&actions, 1);
        } else {
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        }
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // The program must see the default dispositions whatever the test
        // runner set up.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<std::string> full{start.argv0.value_or(VESK_SIM_BINARY)};
        full.insert(full.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : full) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (start.address_space || start.file_size) {
            // posix_spawn cannot set a limit; the child sets it before exec,
            // with only calls that are safe after fork.
            const bool to_file = output.kind == Output::File;
            pid_ = fork();
            if (pid_ < 0) std::abort();
            if (pid_ == 0) {
                int in = open("/dev/null", O_RDONLY);
                int stdout_fd = to_file ? open(output.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : out[1];
                if (in < 0 || stdout_fd < 0 || dup2(in, 0) < 0 || dup2(stdout_fd, 1) < 0 || dup2(err[1], 2) < 0) {
                    _exit(127);
                }
                struct sigaction dfl {};
                dfl.sa_handler = SIG_DFL;
                sigaction(SIGINT, &dfl, nullptr);
                sigaction(SIGPIPE, &dfl, nullptr);
                sigaction(SIGXFSZ, &dfl, nullptr);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                if (start.file_size) {
                    const rlimit limit{*start.file_size, *start.file_size};
                    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
                }
                if (start.address_space) {
                    const rlimit limit{*start.address_space, *start.address_space};
                    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
                }
                if (start.stack) {
                    const rlimit stack{*start.stack, *start.stack};
                    if (setrlimit(RLIMIT_STACK, &stack) != 0) _exit(127);
                }
                execve(VESK_SIM_BINARY, argv.data(), environ);
                _exit(127);
            }
        } else if (posix_spawn(&pid_, VESK_SIM_BINARY, &actions, &attr, argv.data(), environ) != 0) {
            std::abort();
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        close(out[1]);
        close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
        if (output.kind == Output::DevFull || output.kind == Output::Closed || output.kind == Output::File) {
            close_fd(out_fd_);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    ~Child() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close_fd(out_fd_);
        close_fd(err_fd_);
    }

    std::string out;
    std::string err;

    // Reads until `done` holds for standard output, both streams end, or the
    // limit passes; whether `done` held.
    bool read_until(const std::function<bool(const std::string&)>& done, std::chrono::nanoseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done(out)) {
            if (out_fd_ < 0 && err_fd_ < 0) return false;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left <= 0ms) return false;
            pump(static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        }
        return true;
    }
    bool read_line_starting(const std::string& prefix, std::chrono::nanoseconds limit) {
        return read_until([&](const std::string& s) { return s.find("\n" + prefix) != std::string::npos ||
                                                              (s.rfind(prefix, 0) == 0 && s.find('\n') != std::string::npos); },
                          limit);
    }

    void interrupt() { kill(pid_, SIGINT); }

    // Waits, reading nothing, until the process has ended or the limit has
    // passed; the raw wait status, or none while it still runs.
    std::optional<int> wait_exit(std::chrono::nanoseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return status;
            }
            if (Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(10ms);
        }
    }

    // Whether the process sleeps with its interrupt handler installed: the
    // main thread waits in a system call.
    bool sleeps_with_handler() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        bool sleeping = false;
        bool caught = false;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("State:\tS", 0) == 0) sleeping = true;
            if (line.rfind("SigCgt:\t", 0) == 0) {
                caught = (std::stoull(line.substr(8), nullptr, 16) >> (SIGINT - 1)) & 1;
            }
        }
        return sleeping && caught;
    }

    // Stops reading standard output; the program's next writes meet a
    // closed pipe.
    void close_stdout() { close_fd(out_fd_); }

    // Reads both streams to their end and reaps the process; the raw wait
    // status, or none if the process outlived the limit (it is then killed).
    std::optional<int> finish(std::chrono::nanoseconds limit = PROCESS_LIMIT) {
        const auto deadline = Clock::now() + limit;
        while (out_fd_ >= 0 || err_fd_ >= 0) {
            if (Clock::now() >= deadline) return std::nullopt;
            pump(200);
        }
        return wait_exit(deadline - Clock::now());
    }

private:
    static void close_fd(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }

    void pump(int timeout_ms) {
        pollfd fds[2];
        int count = 0;
        if (out_fd_ >= 0) fds[count++] = {out_fd_, POLLIN, 0};
        if (err_fd_ >= 0) fds[count++] = {err_fd_, POLLIN, 0};
        if (count == 0) return;
        if (poll(fds, static_cast<nfds_t>(count), timeout_ms) <= 0) return;
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            bool is_out = fds[i].fd == out_fd_;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (is_out ? out : err).append(buf, static_cast<size_t>(n));
            } else {
                close_fd(is_out ? out_fd_ : err_fd_);
            }
        }
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
};

struct Outcome {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 unless the program exited by itself
};

Outcome run(const std::vector<std::string>& args, const Start& start = {}) {
    Child child(args, start);
    std::optional<int> status = child.finish();
    Outcome o{child.out, child.err, -1};
    EXPECT_TRUE(status.has_value()) << "the program did not end";
    if (status && WIFEXITED(*status)) o.exit_status = WEXITSTATUS(*status);
    return o;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        out.push_back(text.substr(start, nl - start));
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

// A file removed when the test ends.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/vesk-sim-e2e-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) std::abort();
        path = name;
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

const std::string USAGE =
    "vesk-sim\n"
    "\n"
    "USAGE:\n"
    "vesk-sim                              Run perpetual simulation (Ctrl+C to stop)\n"
    "vesk-sim list-scenarios               List available adversarial scenarios\n"
    "vesk-sim run-scenario <name>          Run a named adversarial scenario\n"
    "vesk-sim run-sim [options]            Run a long-lived threaded simulation\n"
    "vesk-sim tui [options]                Interactive TUI simulator (--features tui)\n"
    "\n"
    "COMMANDS:\n"
    "list-scenarios\n"
    "run-scenario <name>\n"
    "--name, -n <name>                   Scenario name (alternative form)\n"
    "\n"
    "run-sim [options]\n"
    "--nodes, -n <N>                     Number of nodes (1-16, default 5)\n"
    "--rounds, -r <N>                    Sleep iterations before exit (optional)\n"
    "--seed <seed>                       Seed for deterministic keys (optional)\n"
    "--tick-ms <ms>                      Tick interval for nodes (default 1000)\n"
    "--sleep-ms <ms>                     Main-thread sleep interval (default 1000)\n"
    "--duration-secs <secs>              Run duration; omit for perpetual\n"
    "--channel-latency-base-ms <f32>     Base latency floor in ms (default 2.0)\n"
    "--channel-jitter-log-mean <f32>     Log-normal jitter mean (default 0.0)\n"
    "--channel-jitter-log-stddev <f32>   Log-normal jitter stddev (default 0.0)\n"
    "--channel-drop-prob <f32>           Packet drop probability 0.0-1.0 (default 0.0)\n"
    "--channel-preset <name>             Use a preset as base config; presets available:\n"
    "local long_distance regional congested disaster\n"
    "--script <path>                     YAML script file for timed actions\n"
    "\n"
    "NOTES:\n"
    "If both --rounds and --duration-secs are provided, the simulation stops on\n"
    "whichever limit is reached first.\n"
    "\n";

const std::string DEFAULT_START =
    "Starting simulation: nodes=5, tick_ms=1000, sleep_ms=1000, duration_secs=None, rounds=None, "
    "latency_base=2.0ms, jitter=logN(0.00, 0.00), drop_prob=0.000\n";

TEST(Program, HelpPrintsTheUsageText) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"--help", "extra", "-x"}}) {
        Outcome o = run(args);
        EXPECT_EQ(o.out, USAGE) << args[0];
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.exit_status, 0);
    }
}

TEST(Program, ListsTheScenarios) {
    Outcome o = run({"list-scenarios", "ignored"});
    EXPECT_EQ(o.out,
              "Available scenarios:\n"
              "  happy-path               No faults — baseline honest operation\n"
              "  single-crash             One base node crashes mid-run\n"
              "  minority-crash           2 of 6 nodes crash\n"
              "  majority-crash           4 of 6 nodes crash — tests liveness failure\n"
              "  leader-crash-recover     Leader crashes then restarts after 10 rounds\n"
              "  partition-minority       Minority partition: 2 nodes split from 4\n"
              "  partition-even           Even split: 3 vs 3 — neither has supermajority\n"
              "  message-drops            Messages to/from node 3 are dropped for 10 rounds\n"
              "  flip-flop-partition      Network alternates between partitioned and connected every 3 rounds\n"
              "  stress-test              High transaction volume with multiple concurrent faults\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
}

TEST(Program, CommandLineErrorsGoToStandardErrorWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
        std::string out;
        int status;
    };
    const std::string presets = R"(["local", "long_distance", "regional", "congested", "disaster"])";
    const Case cases[] = {
        {{"bogus"}, "Unknown command: bogus\n", USAGE, 2},
        {{"Run-Sim"}, "Unknown command: Run-Sim\n", USAGE, 2},
        {{"tui", "--anything"}, "TUI support not compiled. Rebuild with --features tui\n", "", 1},
        {{"run-scenario"}, "run-scenario requires a scenario name\n", "", 2},
        {{"run-scenario", "-n"}, "Missing value for --name\n", "", 2},
        {{"run-scenario", "a", "b"}, "Unrecognized option: b\n", "", 2},
        {{"run-scenario", "--fast"}, "Unrecognized option: --fast\n", "", 2},
        {{"run-scenario", "Happy-Path"}, "Scenario not found: Happy-Path\n", "", 2},
        {{"run-scenario", "no-such"}, "Scenario not found: no-such\n", "", 2},
        {{"run-sim", "--nodes", "17"}, "--nodes must be between 1 and 16\n", "", 2},
        {{"run-sim", "-n", "0", "--rounds", "1"}, "--nodes must be between 1 and 16\n", "", 2},
        {{"run-sim", "--nodes", "17", "--bogus"}, "Unrecognized option: --bogus\n", "", 2},
        {{"run-sim", "--seed", "-1"}, "Invalid value for --seed\n", "", 2},
        {{"run-sim", "-r"}, "Missing value for --rounds\n", "", 2},
        {{"run-sim", "--tick-ms"}, "Missing value for --tick-ms\n", "", 2},
        {{"run-sim", "--tick-ms", "0"}, "Invalid value for --tick-ms\n", "", 2},
        {{"run-sim", "--tick-ms", "0", "--tick-ms", "5"}, "Invalid value for --tick-ms\n", "", 2},
        {{"run-sim", "--script"}, "Missing value for --script\n", "", 2},
        {{"run-sim", "--channel-preset"}, "Missing value for --channel-preset\n", "", 2},
        {{"run-sim", "--channel-preset", "fast"}, "Unknown channel preset: fast (available: " + presets + ")\n", "",
         2},
        {{"run-sim", "--channel-drop-prob", "half"}, "Invalid value for --channel-drop-prob\n", "", 2},
        {{"run-sim", "word"}, "Unrecognized option: word\n", "", 2},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + ' ';
        EXPECT_EQ(o.err, c.err) << shown;
        EXPECT_EQ(o.out, c.out) << shown;
        EXPECT_EQ(o.exit_status, c.status) << shown;
    }
}

TEST(Program, RunsTheLastNamedScenario) {
    Outcome o = run({"run-scenario", "bogus", "-n", "happy-path"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    ASSERT_EQ(o.out.rfind("Running scenario: happy-path\nRounds: ", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("\n  [PASS] Safety: "), std::string::npos) << o.out;
    // The summary's last invariant line, then the line feed after it.
    const std::string tail = "\n  [PASS] MonotonicHeights: Heights are monotonic\n";
    ASSERT_GE(o.out.size(), tail.size());
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
}

TEST(Program, HelpAmongRunOptionsRunsNothing) {
    Outcome o = run({"run-sim", "--tick-ms", "5", "-h", "--bogus"});
    EXPECT_EQ(o.out, USAGE);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
}

TEST(Program, ZeroRoundsOrZeroDurationStopAtOnceWithoutAShutdownLine) {
    for (const auto& limit : std::vector<std::vector<std::string>>{{"--rounds", "0"}, {"--duration-secs", "0"}}) {
        std::vector<std::string> args{"run-sim"};
        args.insert(args.end(), limit.begin(), limit.end());
        Outcome o = run(args);
        bool rounds = limit[0] == "--rounds";
        EXPECT_EQ(o.out, std::string("Starting simulation: nodes=5, tick_ms=1000, sleep_ms=1000, duration_secs=") +
                             (rounds ? "None" : "Some(0)") + ", rounds=" + (rounds ? "Some(0)" : "None") +
                             ", latency_base=2.0ms, jitter=logN(0.00, 0.00), drop_prob=0.000\n");
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.exit_status, 0);
    }
}

TEST(Program, ThreeRoundsWithoutSleepEndSilently) {
    Outcome o = run({"run-sim", "--rounds", "3", "--sleep-ms", "0"});
    EXPECT_EQ(o.out,
              "Starting simulation: nodes=5, tick_ms=1000, sleep_ms=0, duration_secs=None, rounds=Some(3), "
              "latency_base=2.0ms, jitter=logN(0.00, 0.00), drop_prob=0.000\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
}

TEST(Program, StartLineOfAPresetInCapitalsWithOverrides) {
    Outcome o = run({"run-sim", "--channel-preset", "DISASTER", "--channel-drop-prob", "0.5", "-n", "16",
                     "--channel-jitter-log-mean", "-1.005", "--rounds", "0"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    const std::regex line(
        R"(Starting simulation: nodes=16, tick_ms=1000, sleep_ms=1000, duration_secs=None, rounds=Some\(0\), )"
        R"(latency_base=\d+\.\dms, jitter=logN\(-1\.00, \d+\.\d\d\), drop_prob=0\.500\n)");
    EXPECT_TRUE(std::regex_match(o.out, line)) << o.out;
}

TEST(Program, ScriptErrorsEndWithStatusOneAndNothingOnStandardOutput) {
    TempFile bad_yaml("actions: [\n");
    TempFile out_of_range(
        "actions:\n"
        "  - at_secs: 0\n"
        "    commands:\n"
        "      - node_control: { nodes: [7], action: pause }\n");
    struct Case {
        std::vector<std::string> args;
        std::string err_prefix;
    };
    const Case cases[] = {
        {{"run-sim", "--script", "/nonexistent/vesk.yaml"},
         "Failed to load script: failed to read /nonexistent/vesk.yaml: "},
        {{"run-sim", "--script", bad_yaml.path}, "Failed to load script: YAML parse error: "},
        {{"run-sim", "--script", out_of_range.path},
         "Script validation error: action[0] at 0.0s: node 7 out of range (max 5)\n"},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(o.err.rfind(c.err_prefix, 0), 0u) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.exit_status, 1);
    }
    // With 8 nodes the same script is valid and its action runs.
    Outcome ok = run({"run-sim", "--script", out_of_range.path, "-n", "8", "--rounds", "1", "--sleep-ms", "0"});
    EXPECT_EQ(ok.exit_status, 0);
    EXPECT_EQ(ok.err, "");
}

TEST(Program, InterruptEndsAPerpetualRunAfterTheSleep) {
    Child child({});
    ASSERT_TRUE(child.read_line_starting("Starting simulation:", PROCESS_LIMIT)) << child.out << child.err;
    EXPECT_EQ(child.out.rfind("Running perpetual simulation (Ctrl+C to stop)...\n" + DEFAULT_START, 0), 0u)
        << child.out;
    child.interrupt();
    std::optional<int> status = child.finish();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_NE(child.out.find("\n\nShutting down...\n"), std::string::npos) << child.out;
    EXPECT_EQ(child.err, "");
}

// The event log's line: dim time, cyan source tag, the message.
const std::regex EVENT_LINE(
    "\x1b\\[2m\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\.\\d{3}\\.\\d{3}\x1b\\[0m "
    "\x1b\\[36m\\[src ([0-9a-f]{16}\\.\\.\\.|exchange)\\]\x1b\\[0m ([A-Za-z]+)(.*)");

TEST(Program, AThreadedRunCertifiesBlocksOnEveryNode) {
    Outcome o = run({"run-sim", "--seed", "3", "-n", "5", "--tick-ms", "20", "--sleep-ms", "100", "--duration-secs", "3"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    std::vector<std::string> lines = lines_of(o.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0],
              "Starting simulation: nodes=5, tick_ms=20, sleep_ms=100, duration_secs=Some(3), rounds=None, "
              "latency_base=2.0ms, jitter=logN(0.00, 0.00), drop_prob=0.000");
    ASSERT_EQ(o.out.back(), '\n') << "the last line is cut";

    const std::regex slot_of(R"(quorum_certificate: QuorumCertificate \{.*?message: QuorumMessage \{ slot: (\d+))");
    std::map<std::string, std::vector<uint64_t>> certified;  // source -> slots in log order
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, EVENT_LINE)) << "line " << i << ": " << lines[i];
        if (m[2] != "CertificateValid") continue;
        std::smatch s;
        std::string rest = m[3];
        ASSERT_TRUE(std::regex_search(rest, s, slot_of)) << lines[i];
        certified[m[1]].push_back(std::stoull(s[1]));
    }
    ASSERT_EQ(certified.size(), 5u) << "nodes that certified";
    for (const auto& [source, slots] : certified) {
        ASSERT_GE(slots.size(), 3u) << source;
        for (size_t k = 1; k < slots.size(); ++k) EXPECT_LT(slots[k - 1], slots[k]) << source;
    }
}

// Lines without their colour codes.
std::vector<std::string> plain_lines(const std::string& text) {
    static const std::regex colour("\x1b\\[[0-9]+m");
    return lines_of(std::regex_replace(text, colour, ""));
}

size_t count_matching(const std::vector<std::string>& lines, const std::regex& r) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_search(l, r); }));
}

TEST(Program, ScriptActionsRunAtTheirTimesAsControlMessages) {
    TempFile script(
        "actions:\n"
        "  - at_secs: 0.5\n"
        "    description: resume all\n"
        "    commands:\n"
        "      - node_control: { nodes: all, action: resume }\n"
        "  - at_secs: 0\n"
        "    description: pause two\n"
        "    commands:\n"
        "      - node_control: { nodes: [2, 0], action: pause }\n"
        "      - set_default_config: { preset: regional }\n"
        "  - at_secs: 0.25\n"
        "    commands:\n"
        "      - set_route_config: { node_a: 2, node_b: 1, priority: 3, preset: local }\n"
        "  - at_secs: 1000\n"
        "    description: never\n"
        "    commands:\n"
        "      - node_control: { nodes: all, action: finish }\n");
    Outcome o = run({"run-sim", "-n", "3", "--script", script.path, "--tick-ms", "20", "--sleep-ms", "100",
                     "--duration-secs", "2"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    std::vector<std::string> lines = plain_lines(o.out);
    // Action lines in time order, once each; the one without a description
    // prints nothing, the one that never comes neither.
    std::vector<std::string> actions;
    for (const auto& l : lines) {
        if (l.rfind("[script @ ", 0) == 0) actions.push_back(l);
    }
    EXPECT_EQ(actions, (std::vector<std::string>{"[script @ 0.0s] pause two", "[script @ 0.5s] resume all"}));
    EXPECT_EQ(count_matching(lines, std::regex(R"(\] Pause$)")), 2u);
    EXPECT_EQ(count_matching(lines, std::regex(R"(\] Resume$)")), 3u);
    EXPECT_EQ(count_matching(lines, std::regex(R"(\] Finish$)")), 0u);
    EXPECT_EQ(count_matching(lines, std::regex(R"(\[src exchange\] DefaultConfigChanged)")), 1u);
    EXPECT_EQ(count_matching(lines, std::regex(R"(\[src exchange\] RouteConfigSet\(RouteDescriptor\(1, 2\))")), 1u);
}

TEST(Program, ANeighbourhoodThatRepeatsItsNodesSetsEachRouteOnce) {
    auto cycling = [](size_t count) {
        std::string list = "[0";
        for (size_t i = 1; i < count; ++i) list += ", " + std::to_string(i % 4);
        return list + "]";
    };
    TempFile script("actions:\n"
                    "  - at_secs: 0\n"
                    "    commands:\n"
                    "      - define_neighborhood: { priority: 1, preset: regional, nodes: " + cycling(20000) + " }\n"
                    "      - unset_neighborhood: { priority: 1, nodes: " + cycling(100000) + " }\n");
    Outcome o = run({"run-sim", "-n", "4", "--script", script.path, "--tick-ms", "100", "--sleep-ms", "100",
                     "--duration-secs", "1"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    const std::regex route_line(R"(\[src exchange\] (RouteConfig(Set|Unset))\(RouteDescriptor\((\d), (\d)\))");
    std::vector<std::string> routes;
    for (const std::string& l : plain_lines(o.out)) {
        std::smatch m;
        if (std::regex_search(l, m, route_line)) routes.push_back(m[1].str() + " " + m[3].str() + m[4].str());
    }
    std::vector<std::string> want;
    for (const char* kind : {"RouteConfigSet", "RouteConfigUnset"}) {
        for (const char* r : {"01", "02", "03", "00", "12", "13", "11", "23", "22", "33"}) {
            want.push_back(std::string(kind) + " " + r);
        }
    }
    EXPECT_EQ(routes, want);
}

TEST(Program, TheExampleScriptLoadsAndRuns) {
    Outcome o = run({"run-sim", "--script", VESK_EXAMPLES_DIR "/partition-and-recover.yaml", "--tick-ms", "100",
                     "--sleep-ms", "100", "--duration-secs", "3"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    std::vector<std::string> lines = plain_lines(o.out);
    EXPECT_EQ(count_matching(lines, std::regex(R"(^\[script @ 2\.0s\] Slower links everywhere$)")), 1u) << o.out;
    EXPECT_EQ(count_matching(lines, std::regex(R"(^\[script @ )")), 1u);
}

// A script that finishes every node at 1 s: the log's last node records.
const std::string FINISH_ALL_AT_ONE =
    "actions:\n"
    "  - at_secs: 1\n"
    "    commands:\n"
    "      - node_control: { nodes: all, action: finish }\n";

const std::string QUEUED_NOTICE =
    "Printing the log still queued for standard output before shutting down; press Ctrl+C again to end at once\n";

// The log time of an event line, in nanoseconds.
int64_t log_time_of(const std::string& plain_line) {
    static const std::regex time(R"(^(\d\d):(\d\d):(\d\d)\.(\d{3})\.(\d{3})\.(\d{3}) )");
    std::smatch m;
    if (!std::regex_search(plain_line, m, time)) return -1;
    int64_t t = 0;
    const int64_t scale[] = {3600, 60, 1, 1000, 1000, 1000};
    for (int i = 0; i < 3; ++i) t = t * scale[i] + std::stoll(m[i + 1]);
    for (int i = 3; i < 6; ++i) t = t * 1000 + std::stoll(m[i + 1]);
    return t;
}

TEST(Program, AReaderThatFallsBehindChangesNothingTheRunDoes) {
    // 16 nodes ticking every millisecond fill a small pipe at once; the
    // reader reads nothing until after the run should have ended.
    TempFile script(
        "actions:\n"
        "  - at_secs: 1\n"
        "    description: one second in\n"
        "    commands:\n"
        "      - set_default_config: { preset: local }\n"
        "  - at_secs: 2\n"
        "    description: pause everyone\n"
        "    commands:\n"
        "      - node_control: { nodes: all, action: pause }\n");
    Child child({"run-sim", "-n", "16", "--tick-ms", "1", "--sleep-ms", "50", "--duration-secs", "3", "--script",
                 script.path},
                Start{}, StandardOutput{Output::Pipe, 4096});
    std::this_thread::sleep_for(6s);
    std::optional<int> status = child.finish();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(child.err, "");
    std::vector<std::string> lines = plain_lines(child.out);
    ASSERT_GT(lines.size(), 100u);
    EXPECT_EQ(lines[0].rfind("Starting simulation: nodes=16, ", 0), 0u);
    // The pause happened on time, on every node, though the reader waited.
    EXPECT_EQ(count_matching(lines, std::regex(R"(\] Pause$)")), 16u);
    for (const std::string action : {"[script @ 1.0s] one second in", "[script @ 2.0s] pause everyone"}) {
        auto at = std::find(lines.begin(), lines.end(), action);
        ASSERT_NE(at, lines.end()) << action;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), action), 1) << action;
        // In its place among the records of its time: none after it was
        // made long before any of those before it.
        int64_t latest_before = -1;
        for (auto l = lines.begin() + 1; l != at; ++l) latest_before = std::max(latest_before, log_time_of(*l));
        ASSERT_GE(latest_before, 0) << action;
        for (auto l = at + 1; l != lines.end(); ++l) {
            const int64_t t = log_time_of(*l);
            if (t >= 0) {
                ASSERT_GT(t, latest_before - 250'000'000) << action << " before " << *l;
            }
        }
    }
    auto paused = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.ends_with("] Pause"); });
    EXPECT_LT(std::find(lines.begin(), lines.end(), "[script @ 2.0s] pause everyone"), paused);
}

TEST(Program, AnActionLineIsNeverLostToAFullBacklog) {
    // One action orders 960,000 pauses at one instant: more records than
    // the log holds, however fast the reader; the next action's line must
    // still be printed.
    std::string text = "actions:\n  - at_secs: 0\n    description: the burst\n    commands:\n";
    for (int i = 0; i < 60'000; ++i) text += "      - node_control: { nodes: all, action: pause }\n";
    text += "  - at_secs: 2.5\n    description: after the burst\n    commands:\n"
            "      - node_control: { nodes: [0], action: resume }\n";
    TempFile script(text);
    // Counted in iterations, so that the later action runs however long the
    // burst takes to send: 99 sleeps of 50 ms follow it.
    Child child({"run-sim", "-n", "16", "--tick-ms", "1000", "--sleep-ms", "50", "--rounds", "100", "--script",
                 script.path},
                Start{}, StandardOutput{Output::Pipe, 4096});
    std::this_thread::sleep_for(7s);
    std::optional<int> status = child.finish();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    std::vector<std::string> lines = plain_lines(child.out);
    const std::regex notice("^Log records not printed because standard output fell behind: [1-9]");
    if (count_matching(lines, notice) == 0) GTEST_SKIP() << "the nodes were too slow to fill the backlog in time";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[script @ 0.0s] the burst"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[script @ 2.5s] after the burst"), 1);
}

TEST(Program, EveryRecordMadeBeforeTheStopReachesAReaderThatFellBehind) {
    TempFile finish_all(FINISH_ALL_AT_ONE);
    // What ends the run: 2 s with every node finished at 1 s, 1 s, 5 rounds
    // of 100 ms, or an interrupt at 3 s. The short ones have ended well
    // before that interrupt, even on a slow build.
    enum class End { FinishedRun, Duration, Rounds, Interrupt };
    struct Case {
        const char* name;
        Output output;
        End end;
        bool interrupt;  // an interrupt at 3 s
    };
    const Case cases[] = {
        {"waiting reader", Output::Pipe, End::FinishedRun, false},
        {"non-blocking pipe", Output::NonBlockingPipe, End::FinishedRun, false},
        {"interrupted while the reader waits", Output::Pipe, End::Interrupt, true},
        {"interrupted after the duration, while the reader waits", Output::Pipe, End::Duration, true},
        {"interrupted after the rounds, while the reader waits", Output::Pipe, End::Rounds, true},
    };
    // All at once; each reader waits until its run has had time to end.
    std::vector<std::unique_ptr<Child>> children;
    for (const Case& c : cases) {
        std::vector<std::string> args{"run-sim", "-n", "4", "--tick-ms", "5", "--sleep-ms", "100"};
        if (c.end == End::Interrupt) {
            args.insert(args.end(), {"--rounds", "1000"});
        } else if (c.end == End::FinishedRun) {
            args.insert(args.end(), {"--duration-secs", "2", "--script", finish_all.path});
        } else if (c.end == End::Duration) {
            args.insert(args.end(), {"--duration-secs", "1"});
        } else {
            args.insert(args.end(), {"--rounds", "5"});
        }
        // A small pipe, full long before the run ends.
        children.push_back(std::make_unique<Child>(args, Start{}, StandardOutput{c.output, 4096}));
    }
    std::this_thread::sleep_for(3s);
    for (size_t k = 0; k < std::size(cases); ++k) {
        if (cases[k].interrupt) children[k]->interrupt();
    }
    // Long enough after the interrupt for the program to see that the log
    // has not caught up.
    std::this_thread::sleep_for(1500ms);
    for (size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        Child& child = *children[k];
        std::optional<int> status = child.finish();
        ASSERT_TRUE(status.has_value()) << c.name;
        ASSERT_TRUE(WIFEXITED(*status)) << c.name << ": ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0) << c.name;
        // An interrupt that must wait for the reader says why at once, once,
        // whether or not the run had ended by itself before it.
        EXPECT_EQ(child.err, c.interrupt ? QUEUED_NOTICE : "") << c.name;
        ASSERT_FALSE(child.out.empty()) << c.name;
        ASSERT_EQ(child.out.back(), '\n') << c.name;
        std::vector<std::string> lines = lines_of(child.out);
        ASSERT_EQ(lines[0].rfind("Starting simulation: ", 0), 0u) << c.name;
        // Only a run that the interrupt ended prints the shutdown line.
        if (c.end == End::Interrupt) {
            ASSERT_GE(lines.size(), 3u) << c.name;
            EXPECT_EQ(lines[lines.size() - 2], "") << c.name;
            EXPECT_EQ(lines.back(), "Shutting down...") << c.name;
            lines.resize(lines.size() - 2);
        } else if (c.end == End::FinishedRun) {
            EXPECT_EQ(count_matching(plain_lines(child.out), std::regex(R"(\] Finish$)")), 4u) << c.name;
        }
        // Whole event lines only, and none lost: the reader fell behind by
        // far less than the backlog holds.
        ASSERT_GT(lines.size(), 100u) << c.name;
        for (size_t i = 1; i < lines.size(); ++i) {
            ASSERT_TRUE(std::regex_match(lines[i], EVENT_LINE)) << c.name << ", line " << i << ": " << lines[i];
        }
    }
}

TEST(Program, ASecondInterruptEndsTheProgramWhateverTheReaderDoes) {
    struct Case {
        const char* name;
        std::vector<std::string> limit;
    };
    const Case cases[] = {{"a run without a limit", {}},
                          {"a run that ended by itself", {"--duration-secs", "1"}},
                          {"a run that ended on its rounds", {"--rounds", "10"}}};
    std::vector<std::unique_ptr<Child>> children;
    for (const Case& c : cases) {
        std::vector<std::string> args{"run-sim", "-n", "4", "--tick-ms", "5", "--sleep-ms", "50"};
        args.insert(args.end(), c.limit.begin(), c.limit.end());
        children.push_back(std::make_unique<Child>(args, Start{}, StandardOutput{Output::Pipe, 4096}));
    }
    // Nothing is ever read: the log fills the pipe and the printer waits on
    // it, and so does the end of the run after the first interrupt.
    std::this_thread::sleep_for(2s);
    for (auto& child : children) child->interrupt();
    for (size_t k = 0; k < std::size(cases); ++k) {
        EXPECT_FALSE(children[k]->wait_exit(k == 0 ? 500ms : 0ms).has_value())
            << cases[k].name << ": the first interrupt waits for the reader";
    }
    for (size_t k = 0; k < std::size(cases); ++k) {
        Child& child = *children[k];
        child.interrupt();
        std::optional<int> status = child.wait_exit(10s);
        ASSERT_TRUE(status.has_value()) << cases[k].name << ": the second interrupt did not end the program";
        ASSERT_TRUE(WIFEXITED(*status)) << cases[k].name << ": ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 130) << cases[k].name;
    }
}

TEST(Program, AnInterruptEndsAScriptLoadThatWaitsForAWriter) {
    TempFile placeholder("");
    const std::string fifo = placeholder.path + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Child child({"run-sim", "--script", fifo});
    const auto deadline = Clock::now() + PROCESS_LIMIT;
    while (!child.sleeps_with_handler() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    child.interrupt();
    std::optional<int> status = child.finish();
    unlink(fifo.c_str());
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(child.err, "Failed to load script: failed to read " + fifo + ": Interrupted system call\n");
    EXPECT_EQ(child.out, "");
}

TEST(Program, AFailedStandardOutputIsReportedOnceAndFailsTheCommand) {
    struct Case {
        std::vector<std::string> args;
        std::string err_before;  // the command's own error line
        int status;
    };
    const Case cases[] = {
        {{"--help"}, "", 1},
        {{"list-scenarios"}, "", 1},
        {{"run-scenario", "happy-path"}, "", 1},
        {{"bogus"}, "Unknown command: bogus\n", 2},
        {{"run-sim", "-n", "2", "--tick-ms", "10", "--sleep-ms", "100", "--duration-secs", "1"}, "", 1},
    };
    struct Failing {
        Output output;
        std::optional<rlim_t> file_size;
        std::string reason;
    };
    // A file past the size limit fails as a full disk does, not by a signal:
    // at once, or in the middle of a run.
    const Failing outputs[] = {{Output::DevFull, std::nullopt, "No space left on device"},
                               {Output::Closed, std::nullopt, "Bad file descriptor"},
                               {Output::File, 0, "File too large"},
                               {Output::File, 3000, "File too large"}};
    // Only a threaded run writes more than a few thousand bytes.
    auto fails = [](const Failing& f, const Case& c) {
#if defined(__SANITIZE_THREAD__)
        // The thread sanitizer's own handler ends the process by SIGXFSZ
        // whatever the program set for it.
        if (f.file_size) return false;
#endif
        return f.file_size.value_or(0) == 0 || c.args[0] == "run-sim";
    };
    // All at once: a scenario run takes a while.
    std::vector<std::unique_ptr<TempFile>> files;
    std::vector<std::unique_ptr<Child>> children;
    for (const Failing& f : outputs) {
        for (const Case& c : cases) {
            if (!fails(f, c)) continue;
            files.push_back(std::make_unique<TempFile>(""));
            Start start;
            start.file_size = f.file_size;
            children.push_back(
                std::make_unique<Child>(c.args, start, StandardOutput{f.output, std::nullopt, files.back()->path}));
        }
    }
    size_t k = 0;
    for (const Failing& f : outputs) {
        const std::string& reason = f.reason;
        for (const Case& c : cases) {
            if (!fails(f, c)) continue;
            Child& child = *children[k++];
            std::optional<int> status = child.finish();
            ASSERT_TRUE(status.has_value()) << c.args[0];
            ASSERT_TRUE(WIFEXITED(*status)) << c.args[0] << ": ended by signal " << WTERMSIG(*status);
            EXPECT_EQ(WEXITSTATUS(*status), c.status) << c.args[0] << ", " << reason;
            EXPECT_EQ(child.err, c.err_before + "Failed to write to standard output: " + reason + "\n") << c.args[0];
        }
    }
}

TEST(Program, AClosedPipeStopsTheLogButNotTheRun) {
    Child child({"run-sim", "--tick-ms", "10", "--sleep-ms", "50", "--duration-secs", "2"});
    ASSERT_TRUE(child.read_until([](const std::string& s) { return std::count(s.begin(), s.end(), '\n') >= 5; },
                                 PROCESS_LIMIT))
        << child.err;
    child.close_stdout();
    std::optional<int> status = child.finish();
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(child.err, "");
}

// ---- unusual but possible inputs ----

std::string start_line_for(const std::string& tick, const std::string& sleep, const std::string& duration,
                           const std::string& rounds, int nodes = 5) {
    return "Starting simulation: nodes=" + std::to_string(nodes) + ", tick_ms=" + tick + ", sleep_ms=" + sleep +
           ", duration_secs=" + duration + ", rounds=" + rounds +
           ", latency_base=2.0ms, jitter=logN(0.00, 0.00), drop_prob=0.000";
}

TEST(Program, TickIntervalsBeyondTheClockNeverTickYetNodesObeyOrders) {
    TempFile finish_all(
        "actions:\n"
        "  - at_secs: 0\n"
        "    commands:\n"
        "      - node_control: { nodes: all, action: finish }\n");
    // The first fits in nanoseconds but ends beyond the clock's range; the
    // others do not fit at all.
    for (const std::string tick : {"9223372036854", "9223372036855", "9223372036854775807", "18446744073709551615"}) {
        Outcome o = run({"run-sim", "-n", "2", "--tick-ms", tick, "--duration-secs", "1", "--sleep-ms", "200",
                         "--script", finish_all.path});
        EXPECT_EQ(o.err, "") << tick;
        EXPECT_EQ(o.exit_status, 0) << tick;
        // The start line and each node's Finish, and no tick ever.
        std::vector<std::string> lines = plain_lines(o.out);
        ASSERT_EQ(lines.size(), 3u) << tick << '\n' << o.out.substr(0, 2000);
        EXPECT_EQ(lines[0], start_line_for(tick, "200", "Some(1)", "None", 2));
        EXPECT_EQ(count_matching(lines, std::regex(R"(\] Finish$)")), 2u) << tick;
    }
}

TEST(Program, LimitsAtTheTopOfTheirRange) {
    const std::string top = "18446744073709551615";
    struct Case {
        std::vector<std::string> args;
        std::string start;
    };
    const Case cases[] = {
        {{"--rounds", top, "--duration-secs", "0"}, start_line_for("1000", "1000", "Some(0)", "Some(" + top + ")")},
        {{"--duration-secs", top, "--rounds", "2", "--sleep-ms", "0"},
         start_line_for("1000", "0", "Some(" + top + ")", "Some(2)")},
        {{"--sleep-ms", top, "--rounds", "0"}, start_line_for("1000", top, "None", "Some(0)")},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"run-sim"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome o = run(args);
        EXPECT_EQ(o.out, c.start + "\n") << c.start;
        EXPECT_EQ(o.err, "") << c.start;
        EXPECT_EQ(o.exit_status, 0) << c.start;
    }
}

TEST(Program, ScriptsAreReadNoFurtherThanTheSizeLimit) {
    constexpr size_t LIMIT = size_t{16} << 20;
    const std::string too_large = ": File too large (the limit is 16777216 bytes)\n";
    std::string text = "actions: []\n#";
    text.resize(LIMIT - 1, 'x');
    text += '\n';
    TempFile at_limit(text);
    text.insert(text.end() - 1, 'x');
    TempFile over_limit(text);

    // A pipe whose writer only stops when the reader closes its end.
    const std::string fifo = over_limit.path + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    signal(SIGPIPE, SIG_IGN);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        int fd = -1;
        while (fd < 0 && !stop) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) std::this_thread::sleep_for(1ms);
        }
        if (fd < 0) return;
        fcntl(fd, F_SETFL, 0);
        const std::string block(65536, ' ');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    });

    for (const std::string& path : {std::string("/dev/zero"), fifo, over_limit.path}) {
        Outcome o = run({"run-sim", "--script", path});
        EXPECT_EQ(o.err, "Failed to load script: failed to read " + path + too_large);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.exit_status, 1) << path;
    }
    stop = true;
    writer.join();
    unlink(fifo.c_str());

    Outcome o = run({"run-sim", "--script", at_limit.path, "--rounds", "0"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, start_line_for("1000", "1000", "None", "Some(0)") + "\n");
    EXPECT_EQ(o.exit_status, 0);
}

TEST(Program, AliasesOfALongScalarAreRefusedInBoundedMemory) {
    // Two thousand copies of a 2 MiB description would need 4 GiB.
    std::string text = "big: &b \"" + std::string(size_t{2} << 20, 'x') + "\"\nactions:\n";
    for (int i = 0; i < 2000; ++i) {
        text += "  - {at_secs: 0, description: *b, commands: [{node_control: {nodes: all, action: pause}}]}\n";
    }
    TempFile bomb(text);
    Start start;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    start.address_space = rlim_t{512} << 20;
#endif
    Outcome o = run({"run-sim", "--script", bomb.path}, start);
    EXPECT_EQ(o.err,
              "Failed to load script: YAML parse error: aliases expand the document by more than 1048576 bytes of "
              "text at line 3 column 31\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.exit_status, 1);
}

TEST(Program, AScriptMayOpenWithAByteOrderMark) {
    TempFile script(
        "\xef\xbb\xbf---\n"
        "actions:\n"
        "  - at_secs: 0\n"
        "    description: marked\n"
        "    commands:\n"
        "      - set_default_config: { preset: local }\n");
    Outcome o = run({"run-sim", "--script", script.path, "--rounds", "1", "--sleep-ms", "0"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out.rfind(start_line_for("1000", "0", "None", "Some(1)") + "\n", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("\n[script @ 0.0s] marked\n"), std::string::npos) << o.out;
}

TEST(Program, OnlyArgumentsACommandReadsMustBeText) {
    struct Case {
        std::vector<std::string> args;
        std::string out_prefix;
        std::string err;
        int status;
        std::optional<std::string> argv0;
    };
    const Case cases[] = {
        {{"list-scenarios", "\xff"}, "Available scenarios:\n", "", 0, std::nullopt},
        {{"-h", "\xff"}, USAGE, "", 0, std::nullopt},
        {{"tui", "\xff"}, "", "TUI support not compiled. Rebuild with --features tui\n", 1, std::nullopt},
        {{"run-sim", "--bogus", "\xff"}, "", "Unrecognized option: --bogus\n", 2, std::nullopt},
        {{"run-scenario", "a", "b", "\xff"}, "", "Unrecognized option: b\n", 2, std::nullopt},
        {{"\xff"}, "", "Argument 1 is not valid UTF-8\n", 2, std::nullopt},
        {{"run-sim", "--script", "\xff.yaml"}, "", "Argument 3 is not valid UTF-8\n", 2, std::nullopt},
        // Argument 0 is never read.
        {{"list-scenarios"}, "Available scenarios:\n", "", 0, "/opt/\xff/vesk-sim"},
        {{"run-sim", "--rounds", "0"}, start_line_for("1000", "1000", "None", "Some(0)") + "\n", "", 0, "\xfe"},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args, Start{c.argv0, std::nullopt, std::nullopt});
        EXPECT_EQ(o.out.rfind(c.out_prefix, 0), 0u) << c.err << o.out;
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.exit_status, c.status) << c.err;
    }
}

TEST(Program, ControlCharactersOfArgumentsAndScriptsAreShownEscaped) {
    const std::string presets = R"(["local", "long_distance", "regional", "congested", "disaster"])";
    TempFile bad_preset(
        "actions:\n"
        "  - at_secs: 0\n"
        "    commands:\n"
        "      - set_default_config: { preset: \"\\e[2J\\r\\n\" }\n");
    TempFile bad_value("actions:\n  - { at_secs: \"\\e]0;t\\a\", commands: [] }\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;  // without the line feed
        int status;
    };
    const Case cases[] = {
        {{"run-sim", "--x\ny"}, "Unrecognized option: --x\\ny", 2},
        {{"run-sim", "--channel-preset", "\x1b[2J"}, "Unknown channel preset: \\x1b[2J (available: " + presets + ")", 2},
        {{"\x1b]0;title\x07"}, "Unknown command: \\x1b]0;title\\x07", 2},
        {{"run-scenario", "happy\tpath\r"}, "Scenario not found: happy\\tpath\\r", 2},
        {{"run-scenario", "-n", "x", "--\x7f\x01"}, "Unrecognized option: --\\x7f\\x01", 2},
        {{"run-sim", "--script", "/nonexistent/a\nb.yaml"},
         "Failed to load script: failed to read /nonexistent/a\\nb.yaml: No such file or directory", 1},
        {{"run-sim", "--script", bad_preset.path},
         "Failed to load script: action[0] at 0.0s: unknown preset: \\x1b[2J\\r\\n (available: " + presets + ")", 1},
        {{"run-sim", "--script", bad_value.path},
         "Failed to load script: YAML parse error: actions[0].at_secs: invalid type: string \"\\u{1b}]0;t\\u{7}\", "
         "expected a number at line 2 column 16",
         1},
        // Text without control characters stands as it is, backslashes too.
        {{"run-scenario", "back\\slash \\n \xc3\xa9"}, "Scenario not found: back\\slash \\n \xc3\xa9", 2},
        {{"run-sim", "--channel-preset", "\\x1b"}, "Unknown channel preset: \\x1b (available: " + presets + ")", 2},
        // C1 controls (the 8-bit CSI) and bidirectional overrides too.
        {{"run-scenario", "x\xc2\x9b" "2J\xe2\x80\xae" "abc"}, "Scenario not found: x\\u{9b}2J\\u{202e}abc", 2},
        {{"bogus\xc2\x9b" "31m"}, "Unknown command: bogus\\u{9b}31m", 2},
        {{"run-sim", "--channel-preset", "\xe2\x81\xa6" "local\xc2\x85"},
         "Unknown channel preset: \\u{2066}local\\u{85} (available: " + presets + ")", 2},
        {{"run-sim", "--script", "/nonexistent/\xe2\x80\xae" "lmy.yaml"},
         "Failed to load script: failed to read /nonexistent/\\u{202e}lmy.yaml: No such file or directory", 1},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(o.err, c.err + "\n");
        EXPECT_EQ(o.exit_status, c.status) << c.err;
        EXPECT_EQ(o.out, c.args[0].rfind("run-", 0) == 0 ? "" : USAGE) << c.err;
    }

    TempFile described(
        "actions:\n"
        "  - at_secs: 0\n"
        "    description: \"two\\nlines \\e[2J\\tand \\\\ a backslash \\u009b\\u202e\"\n"
        "    commands:\n"
        "      - set_default_config: { preset: local }\n");
    Outcome o = run({"run-sim", "--script", described.path, "--rounds", "1", "--sleep-ms", "0"});
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.exit_status, 0);
    std::vector<std::string> lines = plain_lines(o.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[script @ 0.0s] two\\nlines \\x1b[2J\\tand \\ a backslash \\u{9b}\\u{202e}"),
              1)
        << o.out;
    // The log's colours are the only escape sequences on standard output.
    for (const std::string& l : lines) EXPECT_EQ(l.find('\x1b'), std::string::npos) << l;
}

TEST(Program, LongValuesInErrorLinesAreCutWithAMark) {
    const std::string presets = R"(["local", "long_distance", "regional", "congested", "disaster"])";
    const std::string long_name(5000, 'n');
    const std::string kept(100, 'n');
    const std::string cut = "... [cut: 5000 bytes in all]";
    // A table YAML reads as one scalar: 14 MB of it.
    std::string table = "id,name,stake\n";
    while (table.size() < 14'000'000) table += "1234567,validator-one-two-three,42\n";
    TempFile csv(table);
    TempFile prose(
        "Validators vote on each block, and the leader gathers the votes into a certificate once two thirds of\n"
        "the stake has voted; this file is prose, not a script.\n");
    TempFile preset("actions:\n  - at_secs: 0\n    commands:\n      - set_default_config: { preset: " +
                    long_name + " }\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;  // without the line feed
        int status;
    };
    const Case cases[] = {
        {{"run-scenario", long_name}, "Scenario not found: " + kept + cut, 2},
        {{long_name}, "Unknown command: " + kept + cut, 2},
        {{"run-sim", "--" + long_name}, "Unrecognized option: --" + kept.substr(2) + "... [cut: 5002 bytes in all]", 2},
        {{"run-sim", "--channel-preset", long_name},
         "Unknown channel preset: " + kept + cut + " (available: " + presets + ")", 2},
        {{"run-sim", "--script", preset.path},
         "Failed to load script: action[0] at 0.0s: unknown preset: " + kept + cut + " (available: " + presets + ")", 1},
        {{"run-sim", "--script", prose.path},
         "Failed to load script: YAML parse error: invalid type: string \"Validators vote on each block, and the leader "
         "gathers the votes into a certificate once two thirds o\"... [cut: 156 bytes in all], expected a mapping at "
         "line 1 column 1",
         1},
        // A value of exactly the limit stands whole.
        {{"run-scenario", kept}, "Scenario not found: " + kept, 2},
    };
    for (const Case& c : cases) {
        Outcome o = run(c.args);
        EXPECT_EQ(o.err, c.err + "\n");
        EXPECT_EQ(o.exit_status, c.status) << c.err;
    }
    Outcome o = run({"run-sim", "--script", csv.path});
    EXPECT_EQ(o.exit_status, 1);
    EXPECT_LT(o.err.size(), 1024u);
    EXPECT_EQ(o.err.rfind("Failed to load script: YAML parse error: invalid type: string \"id,name,stake 1234567,", 0),
              0u)
        << o.err;
    const std::regex mark(R"(\"\.\.\. \[cut: [0-9]{8} bytes in all\], expected a mapping)");
    EXPECT_TRUE(std::regex_search(o.err, mark)) << o.err;
}

TEST(Program, FailuresOnTheMainThreadEndWithOneLineNotAnAbort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    constexpr rlim_t LIMIT = rlim_t{64} << 20;
    // A script at the size limit whose tree needs far more than the limit.
    const std::string head = "actions:\n  - {at_secs: 1, commands: [{unset_neighborhood: {priority: 1, nodes: [";
    const std::string tail = "0]}}]}\n";
    std::string text = head;
    while (text.size() + 2 + tail.size() <= (size_t{16} << 20)) text += "0,";
    text += tail;
    TempFile dense(text);

    // Out of memory while loading the script.
    Outcome o = run({"run-sim", "--script", dense.path, "--rounds", "0"}, Start{std::nullopt, LIMIT, std::nullopt});
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.exit_status, -1) << "ended by a signal";
    EXPECT_NE(o.exit_status, 0);
    EXPECT_EQ(o.out, "");
    // Sixteen node threads need more stack than the limit leaves.
    o = run({"run-sim", "-n", "16", "--rounds", "0"}, Start{std::nullopt, LIMIT, std::nullopt});
    EXPECT_EQ(o.err, "failed to spawn thread\n");
    EXPECT_EQ(o.exit_status, 101);
}

TEST(Program, RunningOutOfMemoryOnAnyThreadEndsTheProcessWithOneLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    // Small stacks leave the limit to the heap. A reader that does not read
    // lets the log's records pile up, so memory grows in the node, exchange
    // and printer threads alike; limits from too small to start to large
    // enough for the whole run.
    constexpr rlim_t MIB = rlim_t{1} << 20;
    std::vector<std::unique_ptr<Child>> runs;
    for (rlim_t limit = 12 * MIB; limit <= 48 * MIB; limit += 4 * MIB) {
        runs.push_back(std::make_unique<Child>(
            std::vector<std::string>{"run-sim", "-n", "16", "--tick-ms", "1", "--sleep-ms", "100", "--duration-secs", "6"},
            Start{std::nullopt, limit, 256 * 1024}));
    }
    // Long enough for the backlog to outgrow some limit even on a loaded
    // machine, whose nodes make fewer records.
    std::this_thread::sleep_for(7s);
    size_t ended_during_the_run = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        Child& c = *runs[i];
        const std::string limit = std::to_string(12 + 4 * i) + " MiB";
        std::optional<int> status = c.finish();
        ASSERT_TRUE(status.has_value()) << limit;
        ASSERT_TRUE(WIFEXITED(*status)) << limit << ": ended by signal " << WTERMSIG(*status) << '\n' << c.err;
        if (WEXITSTATUS(*status) == 0) {
            EXPECT_EQ(c.err, "") << limit;
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(*status), 101) << limit << '\n' << c.err;
        EXPECT_TRUE(c.err == "out of memory\n" || c.err == "failed to spawn thread\n") << limit << '\n' << c.err;
        if (c.err == "out of memory\n" && c.out.rfind("Starting simulation:", 0) == 0) ++ended_during_the_run;
    }
    EXPECT_GE(ended_during_the_run, 1u);
}

}  // namespace
