#pragma once
// The reusable buffers of one verification worker: the block buffer (bytes as read) and the
// expected buffer (regenerated content), plus the content sponge that refills the latter. A
// worker lends its pair to every file it verifies, so hashing and comparing allocate nothing per
// file. Owned and used by one thread.

#include <cstdint>
#include <vector>

#include "format/digest.hpp"

namespace kro::store {

struct ScratchPair {
    std::vector<uint8_t> block;
    std::vector<uint8_t> expected;
    format::Shake128 sponge;
};

}  // namespace kro::store
