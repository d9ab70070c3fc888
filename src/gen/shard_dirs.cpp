#include "gen/shard_dirs.hpp"

#include <cerrno>
#include <span>

#include "format/hex.hpp"

namespace kro::gen {
namespace {

using base::IoError;
using base::UniqueFd;

// One shard directory's name: the two hex digits of its byte, as the store path writes them.
struct ShardName {
    explicit ShardName(uint8_t byte) { format::encode_hex_into(std::span(&byte, 1), std::span(text, 2)); }
    char text[3] = {};
};

uint32_t leaf_key(const format::FileId& id) {
    return uint32_t{id.bytes[0]} << 16 | uint32_t{id.bytes[1]} << 8 | id.bytes[2];
}

}  // namespace

std::expected<UniqueFd, IoError> ShardDirs::enter(const format::FileId& id) {
    auto leaf = enter_once(id);
    if (!leaf && leaf.error().code() == EMFILE && release_first_level()) leaf = enter_once(id);
    return leaf;
}

// Too few descriptors allowed to keep the first level open: give them back and go on without.
bool ShardDirs::release_first_level() {
    bool released = false;
    for (UniqueFd& fd : first_) {
        released |= fd.valid();
        fd.reset();
    }
    return released;
}

std::expected<UniqueFd, IoError> ShardDirs::enter_once(const format::FileId& id) {
    auto first = first_level(id.bytes[0]);
    if (!first) return std::unexpected(first.error());
    if (made_.contains(leaf_key(id))) return open_known_leaf(*first, id);
    auto second = base::make_dir_at(*first, ShardName(id.bytes[1]).text);
    if (!second) return std::unexpected(second.error());
    auto leaf = base::make_dir_at(second->get(), ShardName(id.bytes[2]).text);
    if (!leaf) return std::unexpected(leaf.error());
    made_.insert(leaf_key(id));
    return leaf;
}

std::expected<int, IoError> ShardDirs::first_level(uint8_t byte) {
    UniqueFd& slot = first_[byte];
    if (slot.valid()) return slot.get();
    auto made = base::make_dir_at(root_.fd(), ShardName(byte).text);
    if (!made) return std::unexpected(made.error());
    slot = std::move(*made);
    return slot.get();
}

std::expected<UniqueFd, IoError> ShardDirs::open_known_leaf(int first, const format::FileId& id) {
    auto middle = base::open_dir_at(first, ShardName(id.bytes[1]).text);
    if (!middle) return std::unexpected(middle.error());
    return base::open_dir_at(middle->get(), ShardName(id.bytes[2]).text);
}

}  // namespace kro::gen
