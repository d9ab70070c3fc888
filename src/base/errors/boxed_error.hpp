#pragma once
// The one shape of the error values that carry a backtrace: a kind and the backtrace captured
// where the error is made, boxed together behind one owned pointer, so that a std::expected
// carrying such an error is only a pointer wider than its value.
//
// These errors are plain copyable values. A move hands the box over; a copy makes a box of its
// own with the same kind and the same backtrace (the place where the original was made), so
// every copy owns what it shows. Errors travel up by moves; copies are for the rare holder
// that needs a second one (a finding kept in a report, a test table, a thrown wrapper).
//
// An error whose kinds are payload structs declares them in a struct named after it with
// `Value`, the variant of them (`struct HeaderErrorKind { struct Truncated {...}; ...;
// using Value = std::variant<...>; }`), and derives from that struct as well as from
// BoxedError<HeaderErrorKind::Value>, so that `HeaderError::Truncated` names the payload.
// The error itself supplies message(), source() and debug().

#include <memory>
#include <utility>
#include <variant>

#include "base/errors/backtrace.hpp"
#include "base/errors/error.hpp"

namespace kro::base {

template <typename K>
class BoxedError : public Error {
  public:
    using Kind = K;

    // Captures the backtrace here, where the error is made.
    explicit BoxedError(Kind kind)
        : inner_(std::make_unique<Inner>(Inner{std::move(kind), Backtrace::capture()})) {}

    BoxedError(const BoxedError& other) : inner_(copy_of(other)) {}
    BoxedError& operator=(const BoxedError& other) {
        if (this != &other) inner_ = copy_of(other);
        return *this;
    }
    BoxedError(BoxedError&&) noexcept = default;
    BoxedError& operator=(BoxedError&&) noexcept = default;
    ~BoxedError() override = default;

    const Kind& kind() const { return inner_->kind; }
    const Backtrace& backtrace() const { return inner_->backtrace; }
    // The payload when the kind is the variant alternative P, else nullptr.
    template <typename P>
    const P* get_if() const {
        return std::get_if<P>(&inner_->kind);
    }

  private:
    struct Inner {
        Kind kind;
        Backtrace backtrace;
    };

    // A moved-from error has no box; its copy has none either.
    static std::unique_ptr<Inner> copy_of(const BoxedError& other) {
        return other.inner_ ? std::make_unique<Inner>(*other.inner_) : nullptr;
    }

    std::unique_ptr<Inner> inner_;
};

}  // namespace kro::base
