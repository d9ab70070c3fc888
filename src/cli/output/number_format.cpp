#include "cli/output/number_format.hpp"

#include "format/hex.hpp"

namespace kro::cli {

std::string format_thousands(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string to_hex(std::span<const uint8_t> bytes) {
    return format::encode_hex(bytes);
}

}  // namespace kro::cli
