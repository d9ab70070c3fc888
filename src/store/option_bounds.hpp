#pragma once
// A field of a run's options below the least value the run can work with. The command line never
// passes one; a library caller that does is told so where the run starts, before anything is
// read or written, instead of meeting a division by zero or a stage without workers deep inside.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kro::store {

struct OptionBelowMinimum {
    std::string_view field;  // the field's name in its options record, a constant
    uint64_t value;
    uint64_t minimum;

    // "invalid options: {field} is {value}, below its minimum of {minimum}"
    std::string message() const;
};

// The finding when `value` of `field` is below `minimum`.
std::optional<OptionBelowMinimum> below_minimum(std::string_view field, uint64_t value, uint64_t minimum);

}  // namespace kro::store
