#pragma once
// Broken internal contracts. Code that meets one throws ContractFailure; every
// thread body runs under run_thread_body, which prints the message to standard
// error and ends that thread only. On the main thread run_main ends the
// program with a non-zero status. Any other exception (a failed system call)
// is met the same way. Exhausted memory is not: wherever it happens, it ends
// the whole process.
#include <exception>
#include <new>
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

inline constexpr int CONTRACT_FAILURE_EXIT_STATUS = 101;

// Ends the process from any thread with CONTRACT_FAILURE_EXIT_STATUS after
// the one line "out of memory" on standard error, written without
// allocating. When several threads get here at once, one line is written.
[[noreturn]] void exit_out_of_memory() noexcept;

// From here on every exhausted allocation calls exit_out_of_memory: a
// failing operator new instead of throwing, and a std::bad_alloc that
// reaches std::terminate instead of aborting. The program installs it first.
void install_out_of_memory_exit() noexcept;

// Runs the body of a thread; whatever it throws ends only this thread, but
// std::bad_alloc ends the process.
template <class F>
void run_thread_body(F&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        exit_out_of_memory();
    } catch (...) {
        report_current_exception();
    }
}

// Runs the main thread's work; whatever it throws ends the program with
// CONTRACT_FAILURE_EXIT_STATUS after one line on standard error.
template <class F>
int run_main(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        exit_out_of_memory();
    } catch (...) {
        report_current_exception();
    }
    return CONTRACT_FAILURE_EXIT_STATUS;
}

}  // namespace vesk
