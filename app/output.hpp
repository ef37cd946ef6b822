#pragma once
// The program's own texts on the standard streams.
#include <string>

namespace vesk {

// A whole text on a standard stream, through the one writer of that stream,
// so it lands between whole event lines. A failed write ends the stream and
// is kept for the end of the program (standard_output().error()).
void print_stdout(const std::string& text);
void print_stderr(const std::string& text);

}  // namespace vesk
