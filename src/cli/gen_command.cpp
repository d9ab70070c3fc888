#include <unistd.h>

#include <string_view>

#include "cli/commands.hpp"

namespace kro::cli {

uint8_t run_gen(GenArgs) {
    constexpr std::string_view text = "kro: this command is not available yet\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text.data(), text.size());
    return 1;
}

}  // namespace kro::cli
