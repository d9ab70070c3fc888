#pragma once
// The failure of a developer command: what it was doing ("opening {path}", "corrupting {path}")
// and, usually, the operating-system error that stopped it. Printed once, at the top, as
// "Error: " and the chain. A plain value; copyable.

#include <optional>
#include <string>

#include "base/backtrace.hpp"
#include "base/error.hpp"
#include "base/io_error.hpp"

namespace kro::cli {

class CommandError final : public base::Error {
  public:
    // An action that failed because of `cause`.
    static CommandError with_cause(std::string context, base::IoError cause) {
        return CommandError(std::move(context), std::move(cause));
    }
    // A complete message of its own, without a cause.
    static CommandError plain(std::string message) { return CommandError(std::move(message), std::nullopt); }

    std::string message() const override { return context_; }
    const base::Error* source() const override { return cause_ ? &*cause_ : nullptr; }
    std::string debug() const override;
    const base::Backtrace& backtrace() const { return backtrace_; }

  private:
    CommandError(std::string context, std::optional<base::IoError> cause)
        : context_(std::move(context)), cause_(std::move(cause)), backtrace_(base::Backtrace::capture()) {}

    std::string context_;
    std::optional<base::IoError> cause_;
    base::Backtrace backtrace_;
};

}  // namespace kro::cli
