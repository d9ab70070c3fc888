#pragma once
// The common face of kro's error values. Every error type is a small value with its own
// display text (`message`) and, optionally, the next error of its chain (`source`); the chain
// is rendered once, at the top, outermost first.

#include <string>

namespace kro::base {

class Error {
  public:
    virtual ~Error() = default;
    // The error's own text, without its causes.
    virtual std::string message() const = 0;
    // The next error of the chain, or nullptr.
    virtual const Error* source() const { return nullptr; }
    // A diagnostic form naming the error's fields; defaults to the message.
    virtual std::string debug() const { return message(); }
};

// "outer: inner: innermost".
std::string error_chain(const Error& error);

}  // namespace kro::base
