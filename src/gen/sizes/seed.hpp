#pragma once
// Seed derivation for reproducible datasets. The `--seed` text becomes a 32-byte master seed;
// the size stream's key and every file's ContentSeed are derived from it by BLAKE3 key
// derivation under fixed context strings, so sizes and contents are independent of each other
// and the n-th file's content seed depends only on the master seed and n. Pure functions.

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "base/errors/error.hpp"
#include "format/file_id.hpp"
#include "gen/sizes/chacha.hpp"

namespace kro::gen {

using MasterSeed = std::array<uint8_t, 32>;

// The seed text was empty. It has no fields: its backtrace would never be shown.
class EmptySeed final : public base::Error {
  public:
    std::string message() const override { return "generation seed must not be empty"; }
    std::string debug() const override { return "Empty"; }
};

// The text's bytes exactly as given: no trimming, no normalisation.
std::expected<MasterSeed, EmptySeed> derive_master_seed(std::string_view text);

// The key of the size sampler's ChaCha12 stream.
ChaChaKey derive_size_stream_key(const MasterSeed& master);

// The content seed of the file with this index in its run (the first file is 0).
format::ContentSeed derive_content_seed(const MasterSeed& master, uint64_t file_index);

}  // namespace kro::gen
