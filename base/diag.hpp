#pragma once
// Diagnostic log facade. The program installs no logger, so these texts go
// nowhere; the text is only built when a logger is present.
#include <string>
#include <string_view>

namespace vesk::diag {

enum class Level { Error, Warn, Info, Debug, Trace };

class Logger {
public:
    virtual ~Logger() = default;
    virtual void log(Level level, std::string_view target, std::string_view text) = 0;
};

Logger* logger() noexcept;
// Installs (or with nullptr removes) the process-wide logger; tests use it.
void set_logger(Logger* logger) noexcept;

template <class MakeText>
void log(Level level, std::string_view target, MakeText&& make_text) {
    if (Logger* l = logger()) l->log(level, target, std::string_view(make_text()));
}
template <class MakeText>
void error(std::string_view target, MakeText&& make_text) {
    log(Level::Error, target, make_text);
}
template <class MakeText>
void warn(std::string_view target, MakeText&& make_text) {
    log(Level::Warn, target, make_text);
}
template <class MakeText>
void debug(std::string_view target, MakeText&& make_text) {
    log(Level::Debug, target, make_text);
}

}  // namespace vesk::diag
