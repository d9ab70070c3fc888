#pragma once
// Shared values of the format tests. The known-answer constants in these tests come from
// tests/format/known_answers.py (hashlib and b3sum), which uses the same parent and seed.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/errors/panic.hpp"
#include "format/file_id.hpp"

namespace kro::format::testing {

// 01 02 .. 14
inline FileId sample_parent() {
    FileId id;
    for (std::size_t i = 0; i < id.bytes.size(); ++i) id.bytes[i] = static_cast<uint8_t>(i + 1);
    return id;
}

// a0 a1 .. af
inline ContentSeed sample_seed() {
    ContentSeed seed;
    for (std::size_t i = 0; i < seed.bytes.size(); ++i) seed.bytes[i] = static_cast<uint8_t>(0xA0 + i);
    return seed;
}

// The message of the panic that `body` raises, or "no panic".
inline std::string panic_message(const std::function<void()>& body) {
    try {
        body();
    } catch (const base::Panic& p) {
        return p.message();
    }
    return "no panic";
}

}  // namespace kro::format::testing
