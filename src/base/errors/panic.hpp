#pragma once
// Broken internal invariants. `panic` throws `Panic`, which no expected failure ever does:
// worker threads catch it at their boundary and hand it to the thread that spawned them, and
// `main` catches it last, prints it and exits with status 101. No user input may reach a panic.

#include <fmt/format.h>

#include <exception>
#include <source_location>
#include <string>

namespace kro::base {

class Panic : public std::exception {
  public:
    Panic(std::string message, std::source_location where);
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }
    const std::source_location& location() const { return where_; }
    // "{message}" followed by " at {file}:{line}".
    std::string describe() const;

  private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// An equality assertion: panics with the message and both values when they differ.
template <typename L, typename R>
void assert_eq(const L& left, const R& right, const char* message,
               std::source_location where = std::source_location::current()) {
    if (left == right) return;
    panic(fmt::format("assertion `left == right` failed: {}\n  left: {}\n right: {}", message, left, right),
          where);
}

}  // namespace kro::base
