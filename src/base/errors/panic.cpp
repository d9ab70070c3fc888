#include "base/errors/panic.hpp"

namespace kro::base {

Panic::Panic(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}

std::string Panic::describe() const {
    return fmt::format("{} at {}:{}", message_, where_.file_name(), where_.line());
}

void panic(std::string message, std::source_location where) {
    throw Panic(std::move(message), where);
}

}  // namespace kro::base
