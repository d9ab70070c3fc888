#include "store/option_bounds.hpp"

#include <fmt/format.h>

namespace kro::store {

std::string OptionBelowMinimum::message() const {
    return fmt::format("invalid options: {} is {}, below its minimum of {}", field, value, minimum);
}

std::optional<OptionBelowMinimum> below_minimum(std::string_view field, uint64_t value, uint64_t minimum) {
    if (value >= minimum) return std::nullopt;
    return OptionBelowMinimum{field, value, minimum};
}

}  // namespace kro::store
