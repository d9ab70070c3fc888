#include "format/file_id.hpp"

#include <algorithm>

#include "base/errors/panic.hpp"
#include "base/os_random.hpp"
#include "format/big_endian.hpp"
#include "format/hex.hpp"

namespace kro::format {

namespace {

// Each domain string is hashed with its terminating zero byte: 23 characters and a zero.
constexpr std::string_view LEAF_DOMAIN{"kro:file:leaf:blake3:v3\0", 24};
constexpr std::string_view NODE_DOMAIN{"kro:file:node:blake3:v3\0", 24};
constexpr std::string_view ROOT_DOMAIN{"kro:file:root:blake3:v3\0", 24};

void update_text(Blake3& h, std::string_view text) {
    h.update({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

void update_u64(Blake3& h, uint64_t value) {
    h.update(be64_bytes(value));
}

// Used only when the operating system gives no randomness: tables stay correct, only their
// protection against chosen collisions is lost.
constexpr ShortHashKey FALLBACK_HASH_KEY = {0x6b, 0x72, 0x6f, 0x3a, 0x66, 0x69, 0x6c, 0x65,
                                            0x2d, 0x69, 0x64, 0x3a, 0x6b, 0x65, 0x79, 0x00};

const ShortHashKey& file_id_hash_key() {
    static const ShortHashKey key = [] {
        ShortHashKey drawn{};
        return base::fill_os_random(drawn) ? drawn : FALLBACK_HASH_KEY;
    }();
    return key;
}

MerkleHash node_hash(uint64_t level, uint64_t index, std::span<const MerkleHash> children) {
    if (children.size() != 1 && children.size() != 2) base::panic("a KRO v3 node has one or two children");
    Blake3 h;
    update_text(h, NODE_DOMAIN);
    update_u64(h, level);
    update_u64(h, index);
    const uint8_t count = static_cast<uint8_t>(children.size());
    h.update({&count, 1});
    for (const MerkleHash& child : children) h.update(child);
    return h.finalize();
}

}  // namespace

bool FileId::is_zero() const {
    return std::ranges::all_of(bytes, [](uint8_t b) { return b == 0; });
}

std::string FileId::to_hex() const {
    return encode_hex(bytes);
}

bool ContentSeed::is_zero() const {
    return std::ranges::all_of(bytes, [](uint8_t b) { return b == 0; });
}

std::size_t hash_value(const FileId& id) noexcept {
    return static_cast<std::size_t>(short_hash(file_id_hash_key(), id.bytes));
}

std::string ContentSeed::to_hex() const {
    return encode_hex(bytes);
}

uint64_t v3_leaf_count(uint64_t file_length) {
    return file_length / FILE_BLOCK_SIZE + (file_length % FILE_BLOCK_SIZE != 0 ? 1 : 0);
}

uint64_t file_block_len(uint64_t file_length, uint64_t block_index) {
    if (block_index >= v3_leaf_count(file_length)) return 0;
    return std::min(FILE_BLOCK_SIZE, file_length - block_index * FILE_BLOCK_SIZE);
}

MerkleHash leaf_hash(uint64_t block_index, std::span<const uint8_t> block) {
    // BLAKE3 hashes whole subtrees of 1 KiB chunks many at a time, but only subtrees aligned to
    // their own size. Fed alone, the 40-byte prefix would leave the block's chunks starting at
    // chunk 1 and force a run of one-, two-, four- and eight-chunk subtrees (about a tenth slower
    // for 1 MiB). So the prefix and the block's first bytes go in as one aligned 16-chunk lead.
    constexpr std::size_t PREFIX_LEN = 24 + 8 + 8;
    constexpr std::size_t LEAD_LEN = 16 * 1024;
    std::array<uint8_t, LEAD_LEN> lead;
    auto it = std::ranges::copy(LEAF_DOMAIN, lead.begin()).out;
    it = std::ranges::copy(be64_bytes(block_index), it).out;
    std::ranges::copy(be64_bytes(block.size()), it);
    const std::size_t taken = std::min(block.size(), LEAD_LEN - PREFIX_LEN);
    std::copy_n(block.begin(), taken, lead.begin() + PREFIX_LEN);

    Blake3 h;
    h.update(std::span(lead).first(PREFIX_LEN + taken));
    h.update(block.subspan(taken));
    return h.finalize();
}

FileId merkle_file_id(std::vector<MerkleHash> leaves, uint64_t file_length) {
    if (file_length < HEADER_LEN) base::panic("KRO v3 files are at least 60 bytes");
    const uint64_t leaf_count = leaves.size();
    base::assert_eq(leaf_count, v3_leaf_count(file_length), "KRO v3 leaf count does not match file length");

    // Node j of a level overwrites slot j, which only nodes up to j have read by then.
    std::size_t n = leaves.size();
    for (uint64_t level = 1; n > 1; ++level) {
        const std::size_t parents = (n + 1) / 2;
        for (std::size_t j = 0; j < parents; ++j) {
            const std::size_t width = 2 * j + 1 < n ? 2 : 1;
            leaves[j] = node_hash(level, j, std::span<const MerkleHash>(leaves).subspan(2 * j, width));
        }
        n = parents;
    }
    const MerkleHash root = merkle_root(file_length, leaf_count, leaves[0]);
    FileId id;
    std::copy_n(root.begin(), FileId::LEN, id.bytes.begin());
    return id;
}

MerkleHash merkle_root(uint64_t file_length, uint64_t leaf_count, const MerkleHash& top_node) {
    Blake3 h;
    update_text(h, ROOT_DOMAIN);
    update_u64(h, FILE_BLOCK_SIZE);
    update_u64(h, file_length);
    update_u64(h, leaf_count);
    h.update(top_node);
    return h.finalize();
}

std::expected<FileId, HexError> decode_hex_20(std::string_view text) {
    FileId id;
    if (auto decoded = decode_hex_into(text, id.bytes); !decoded)
        return std::unexpected(std::move(decoded.error()));
    return id;
}

}  // namespace kro::format
