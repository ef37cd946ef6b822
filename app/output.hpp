#pragma once
// The program's own texts on the standard streams.
#include <string>

namespace vesk {

// A whole text on a standard stream; a failed write is ignored. Standard
// output is held for the text, so it lands between whole event lines.
void print_stdout(const std::string& text);
void print_stderr(const std::string& text);

}  // namespace vesk
