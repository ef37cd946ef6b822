// libFuzzer target for the script loader: any bytes must give a script or
// an error text, never a crash, a leak or undefined behaviour, and loading
// must hold no more memory than a fixed multiple of the input and a
// constant. The input goes through a memory file so that reading and the
// UTF-8 check run too.
#include <sanitizer/allocator_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "base/text.hpp"
#include "sim/script.hpp"

namespace {

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The most heap in use while a load runs. The memory limit of the fuzzer is
// polled once a second, and a load that copies a long text many times may
// be over by then; this sees every allocation.
std::atomic<bool> watching{false};
std::atomic<size_t> peak{0};

void on_malloc(const volatile void*, size_t) {
    if (!watching.load(std::memory_order_relaxed)) return;
    const size_t now = __sanitizer_get_current_allocated_bytes();
    size_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}
void on_free(const volatile void*) {}

// What a load may hold beyond what was in use before it: the densest tree
// costs under twenty bytes per input byte, and aliases add a bounded amount.
size_t memory_bound(size_t input) { return 20 * input + (size_t{16} << 20); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = ::memfd_create("script", MFD_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const size_t before = __sanitizer_get_current_allocated_bytes();
    peak = before;
    watching = true;
    auto loaded = vesk::SimScript::load(path);
    watching = false;
    ::close(fd);
    if (peak - before > memory_bound(size)) __builtin_trap();

    if (auto* error = std::get_if<std::string>(&loaded)) {
        if (!starts_with(*error, "YAML parse error: ") && !starts_with(*error, "action[") &&
            !starts_with(*error, "failed to read " + path + ": stream did not contain valid UTF-8")) {
            __builtin_trap();
        }
        // Quoted values are cut, so the line the driver prints stays short
        // whatever the script holds.
        if (vesk::escape_controls("Failed to load script: " + *error).size() >= 1024) __builtin_trap();
        return 0;
    }
    // What a loaded script promises its driver.
    const auto& script = std::get<vesk::SimScript>(loaded);
    for (size_t i = 0; i < script.actions.size(); ++i) {
        const vesk::ScriptAction& a = script.actions[i];
        if (a.at_secs < 0 || a.commands.empty()) __builtin_trap();
        if (i > 0 && script.actions[i - 1].at_secs > a.at_secs) __builtin_trap();
        for (const vesk::ScriptCommand& c : a.commands) {
            std::visit(
                [](const auto& x) {
                    if constexpr (requires { x.config.resolve(); }) {
                        if (!x.config.resolve()) __builtin_trap();
                    }
                },
                c.kind);
        }
    }
    for (size_t n : {0, 1, 5, 16}) (void)vesk::SimScript::validate_node_ids(script, n);
    return 0;
}
