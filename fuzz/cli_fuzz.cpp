// libFuzzer target for the command line: the input, cut at NUL bytes into
// an argument vector whose first entry is the program path, goes through the
// program's own reading and checks of its arguments. That must give a
// command or one error line, never a crash, a leak or undefined behaviour.
// Nothing is run: the reading stops where a command would start.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/command_line.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "sim/imperfect_channels.hpp"

namespace {

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The error lines the command line knows.
bool known_error(std::string_view m) {
    for (std::string_view prefix :
         {"Argument ", "Missing value for --", "Invalid value for --", "Unrecognized option: ",
          "Unknown channel preset: ", "--nodes must be between 1 and 16", "run-scenario requires a scenario name"}) {
        if (starts_with(m, prefix)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        size_t end = rest.find('\0');
        args.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }

    using C = vesk::CommandLine;
    const C command = vesk::parse_command_line(args);
    std::visit(
        [&](const auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, C::PerpetualRun>) {
                if (args.size() >= 2) __builtin_trap();
            } else if constexpr (std::is_same_v<T, C::UnknownCommand>) {
                if (c.word != args.at(1)) __builtin_trap();
            } else if constexpr (std::is_same_v<T, vesk::ArgError>) {
                if (!known_error(c.message)) __builtin_trap();
                // Quoted arguments are cut, so the error line stays short.
                if (vesk::escape_controls(c.message).size() >= 1024) __builtin_trap();
            } else if constexpr (std::is_same_v<T, C::RunSim>) {
                // What the driver relies on before it starts a run.
                const vesk::RunSimRequest& r = c.request;
                if (r.nodes < 1 || r.nodes > vesk::MAX_NODES) __builtin_trap();
                if (r.tick_ms == 0 || vesk::sat_ms_to_ns(r.tick_ms).count() <= 0) __builtin_trap();
                if (r.tick_ms != r.options.tick_ms.value_or(vesk::DEFAULT_TICK_MS)) __builtin_trap();
                if (r.sleep_ms != r.options.sleep_ms.value_or(vesk::DEFAULT_SLEEP_MS)) __builtin_trap();
                if (r.options.channel_preset && !vesk::ChannelConfig::from_preset_name(*r.options.channel_preset)) {
                    __builtin_trap();
                }
            }
        },
        command.kind);
    return 0;
}
