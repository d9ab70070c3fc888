#include "cli/command_error.hpp"

#include <fmt/format.h>

namespace kro::cli {

std::string CommandError::debug() const {
    return fmt::format("CommandError {{ context: \"{}\", source: {}, backtrace: {} }}", context_,
                       cause_ ? cause_->debug() : "None", backtrace_.debug());
}

}  // namespace kro::cli
