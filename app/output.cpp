#include "app/output.hpp"

#include <cstdio>

#include "sim/logging.hpp"

namespace vesk {

void print_stdout(const std::string& text) { (void)logging_detail::write_line(stdout, text); }

void print_stderr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace vesk
