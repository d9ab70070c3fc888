#pragma once
// The failure of a developer command: what it was doing ("opening {path}", "corrupting {path}")
// and, usually, the operating-system error that stopped it. Printed once, at the top, as
// "Error: " and the chain.

#include <optional>
#include <string>
#include <utility>

#include "base/errors/boxed_error.hpp"
#include "base/errors/io_error.hpp"

namespace kro::cli {

// What a CommandError holds: its own text, and the cause when there is one.
struct CommandFailure {
    std::string context;
    std::optional<base::IoError> cause;
};

class CommandError final : public base::BoxedError<CommandFailure> {
  public:
    // An action that failed because of `cause`.
    static CommandError with_cause(std::string context, base::IoError cause) {
        return CommandError(CommandFailure{std::move(context), std::move(cause)});
    }
    // A complete message of its own, without a cause.
    static CommandError plain(std::string message) {
        return CommandError(CommandFailure{std::move(message), std::nullopt});
    }

    std::string message() const override { return kind().context; }
    const base::Error* source() const override { return kind().cause ? &*kind().cause : nullptr; }
    std::string debug() const override;

  private:
    explicit CommandError(CommandFailure failure) : BoxedError(std::move(failure)) {}
};

}  // namespace kro::cli
