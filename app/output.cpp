#include "app/output.hpp"

#include "base/stream_writer.hpp"

namespace vesk {

void print_stdout(const std::string& text) { (void)standard_output().write(text); }

void print_stderr(const std::string& text) { (void)standard_error().write(text); }

}  // namespace vesk
