#include "cli/command_error.hpp"

#include <fmt/format.h>

namespace kro::cli {

std::string CommandError::debug() const {
    return fmt::format("CommandError {{ context: \"{}\", source: {}, backtrace: {} }}", kind().context,
                       kind().cause ? kind().cause->debug() : "None", backtrace().debug());
}

}  // namespace kro::cli
