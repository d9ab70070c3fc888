#include "gen/sizes/fdlibm.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace kro::gen {
namespace {

double from_hex(const std::string& text) {
    return std::bit_cast<double>(std::stoull(text, nullptr, 16));
}

std::string to_hex(double value) {
    std::ostringstream out;
    out << std::hex;
    out.width(16);
    out.fill('0');
    out << std::bit_cast<uint64_t>(value);
    return out.str();
}

// Every line of the reference file: the result bits must match exactly (any NaN matches a NaN).
TEST(Fdlibm, MatchesEveryReferenceValue) {
    std::ifstream file(KRO_VECTORS_DIR "/fdlibm-public.txt");
    ASSERT_TRUE(file) << "cannot open the fdlibm reference values";
    std::string line;
    size_t cases = 0;
    size_t mismatches = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line.front() == '#') continue;
        std::istringstream fields(line);
        std::string function, a, b, c;
        fields >> function >> a >> b >> c;
        double result = 0;
        std::string expected = b;
        if (function == "exp") {
            result = fdlibm::exp(from_hex(a));
        } else if (function == "log") {
            result = fdlibm::log(from_hex(a));
        } else if (function == "expm1") {
            result = fdlibm::expm1(from_hex(a));
        } else if (function == "pow") {
            result = fdlibm::pow(from_hex(a), from_hex(b));
            expected = c;
        } else {
            ADD_FAILURE() << "unknown function in line: " << line;
            continue;
        }
        ++cases;
        const bool match = std::isnan(from_hex(expected)) ? std::isnan(result) : to_hex(result) == expected;
        if (!match) {
            ++mismatches;
            ADD_FAILURE() << line << " gave " << to_hex(result);
        }
    }
    EXPECT_EQ(mismatches, 0U);
    EXPECT_GT(cases, 3000U);
}

}  // namespace
}  // namespace kro::gen
