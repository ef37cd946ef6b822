#pragma once
// Broken internal contracts. Code that meets one throws ContractFailure; every
// thread body runs under run_thread_body, which prints the message to standard
// error and ends that thread only. On the main thread run_main ends the
// program with a non-zero status. Any other exception (out of memory, a
// failed system call) is met the same way.
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

class ContractFailure : public std::exception {
public:
    explicit ContractFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] void contract_fail(std::string message);

inline void contract_check(bool ok, std::string_view message) {
    if (!ok) contract_fail(std::string(message));
}

// The value of an option that must be present by construction.
template <class T>
T& contract_expect(std::optional<T>& v, std::string_view message) {
    if (!v) contract_fail(std::string(message));
    return *v;
}
template <class T>
T contract_expect(std::optional<T>&& v, std::string_view message) {
    if (!v) contract_fail(std::string(message));
    return std::move(*v);
}

// One line on standard error for the exception being handled: a broken
// contract's message as it stands, any other exception's message with line
// breaks turned into blanks. Call it only inside a catch block.
void report_current_exception() noexcept;

// Runs the body of a thread; whatever it throws ends only this thread.
template <class F>
void run_thread_body(F&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_current_exception();
    }
}

inline constexpr int CONTRACT_FAILURE_EXIT_STATUS = 101;

// Runs the main thread's work; whatever it throws ends the program with
// CONTRACT_FAILURE_EXIT_STATUS after one line on standard error.
template <class F>
int run_main(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        report_current_exception();
    }
    return CONTRACT_FAILURE_EXIT_STATUS;
}

}  // namespace vesk
