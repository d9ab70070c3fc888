#include "cli/commands.hpp"

#include <system_error>

#include "base/errors/io_error.hpp"

namespace kro::cli {

std::expected<std::filesystem::path, CommandError> store_directory(
    const std::optional<std::filesystem::path>& typed) {
    if (typed) return *typed;
    std::error_code error;
    std::filesystem::path cwd = std::filesystem::current_path(error);
    if (error) {
        return std::unexpected(CommandError::with_cause("resolving the current directory",
                                                        base::IoError::from_errno(error.value())));
    }
    return cwd;
}

}  // namespace kro::cli
