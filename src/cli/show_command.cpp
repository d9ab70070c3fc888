#include <unistd.h>

#include <string_view>

#include "cli/commands.hpp"

namespace kro::cli {

std::expected<uint8_t, CommandError> run_show(ShowArgs) {
    constexpr std::string_view text = "kro: this command is not available yet\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text.data(), text.size());
    return 1;
}

}  // namespace kro::cli
