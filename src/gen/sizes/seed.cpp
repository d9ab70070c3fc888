#include "gen/sizes/seed.hpp"

#include <algorithm>
#include <span>

#include "format/digest.hpp"

namespace kro::gen {

namespace {

constexpr std::string_view MASTER_CONTEXT = "kro:gen:seed:v3:master";
constexpr std::string_view SIZE_STREAM_CONTEXT = "kro:gen:seed:v3:size-rng";
constexpr std::string_view CONTENT_SEED_CONTEXT = "kro:gen:seed:v3:content-seed";

}  // namespace

std::expected<MasterSeed, EmptySeed> derive_master_seed(std::string_view text) {
    if (text.empty()) return std::unexpected(EmptySeed());
    MasterSeed master;
    format::blake3_derive_key(MASTER_CONTEXT, {reinterpret_cast<const uint8_t*>(text.data()), text.size()},
                              master);
    return master;
}

ChaChaKey derive_size_stream_key(const MasterSeed& master) {
    ChaChaKey key;
    format::blake3_derive_key(SIZE_STREAM_CONTEXT, master, key);
    return key;
}

format::ContentSeed derive_content_seed(const MasterSeed& master, uint64_t file_index) {
    std::array<uint8_t, 40> material;
    std::ranges::copy(master, material.begin());
    for (size_t i = 0; i < 8; ++i) material[32 + i] = static_cast<uint8_t>(file_index >> (8 * i));
    std::array<uint8_t, 32> derived;
    format::blake3_derive_key(CONTENT_SEED_CONTEXT, material, derived);
    format::ContentSeed seed;
    std::copy_n(derived.begin(), format::ContentSeed::LEN, seed.bytes.begin());
    return seed;
}

}  // namespace kro::gen
