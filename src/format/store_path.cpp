#include "format/store_path.hpp"

#include <fmt/format.h>

#include <array>
#include <string_view>

#include "base/path_display.hpp"
#include "format/store_layout.hpp"

namespace kro::format {

namespace {

constexpr std::size_t SHARD_COMPONENTS = 4;

std::string kind_debug(const PathLayoutError::Kind& kind) {
    using E = PathLayoutError;
    struct Visitor {
        std::string operator()(const E::Hex& k) const {
            return fmt::format("Hex {{ source: {}, component: {} }}", k.source.message(), k.component);
        }
        std::string operator()(const E::MetadataPath&) const { return "MetadataPath"; }
        std::string operator()(const E::TooFewComponents& k) const {
            return fmt::format("TooFewComponents {{ count: {} }}", k.count);
        }
        std::string operator()(const E::NonUtf8Component& k) const {
            return fmt::format("NonUtf8Component {{ index: {} }}", k.index);
        }
    };
    return std::visit(Visitor{}, kind);
}

// The last four counted components of a path, in order. Counted are all components except the
// root, "." and the empty ones that repeated or trailing separators would make.
struct LastComponents {
    std::array<std::string_view, SHARD_COMPONENTS> ring;
    std::size_t count = 0;

    void push(std::string_view component) { ring[count++ % SHARD_COMPONENTS] = component; }
    // Component i of the last four (0 is the first shard directory); needs count >= 4.
    std::string_view operator[](std::size_t i) const { return ring[(count + i) % SHARD_COMPONENTS]; }
};

}  // namespace

std::filesystem::path FileId::shard_path() const {
    std::array<char, 2 * LEN> digits;
    const std::string_view hex = encode_hex_into(bytes, digits);
    std::string text;
    text.reserve(2 * LEN + 3);
    text.append(hex.substr(0, 2)).append("/").append(hex.substr(2, 2)).append("/");
    text.append(hex.substr(4, 2)).append("/").append(hex.substr(6));
    return std::filesystem::path(std::move(text));
}

std::filesystem::path store_path_of(const std::filesystem::path& root, const FileId& id) {
    return root / id.shard_path();
}

std::string PathLayoutError::message() const {
    return fmt::format("PathLayoutError {{ kind: {} }}", kind_debug(kind()));
}

std::string PathLayoutError::debug() const {
    return fmt::format("PathLayoutError {{ kind: {}, backtrace: {} }}", kind_debug(kind()),
                       backtrace().debug());
}

const base::Error* PathLayoutError::source() const {
    if (const auto* hex = get_if<Hex>()) return &hex->source;
    return nullptr;
}

std::expected<FileId, PathLayoutError> parse_content_path(const std::filesystem::path& path) {
    const std::string_view text = path.native();
    LastComponents last;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('/', at), text.size());
        const std::string_view component = text.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".") continue;
        if (component == METADATA_DIR)
            return std::unexpected(PathLayoutError(PathLayoutError::MetadataPath{}));
        last.push(component);
    }
    if (last.count < SHARD_COMPONENTS)
        return std::unexpected(PathLayoutError(PathLayoutError::TooFewComponents{last.count}));

    FileId id;
    for (uint8_t i = 0; i < SHARD_COMPONENTS; ++i) {
        const std::string_view component = last[i];
        if (!base::is_valid_utf8(component))
            return std::unexpected(PathLayoutError(PathLayoutError::NonUtf8Component{i}));
        if (i < 3) {
            auto byte = decode_hex_1(component);
            if (!byte)
                return std::unexpected(PathLayoutError(PathLayoutError::Hex{std::move(byte.error()), i}));
            id.bytes[i] = *byte;
        } else {
            auto rest = decode_hex_17(component);
            if (!rest)
                return std::unexpected(PathLayoutError(PathLayoutError::Hex{std::move(rest.error()), i}));
            std::ranges::copy(*rest, id.bytes.begin() + 3);
        }
    }
    return id;
}

}  // namespace kro::format
