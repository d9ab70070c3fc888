#pragma once
// The content-addressed store layout: a content file lives at root/b0/b1/b2/{34 digits}, named by
// its FileId (FileId::shard_path), and `.metadata` under the root holds the store's own records.
// parse_content_path reads a FileId back from a path's text alone; nothing here touches the file
// system. Pure functions.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <variant>

#include "base/errors/boxed_error.hpp"
#include "format/file_id.hpp"
#include "format/hex.hpp"

namespace kro::format {

// The root joined with the shard path of `id`.
std::filesystem::path store_path_of(const std::filesystem::path& root, const FileId& id);

// The kinds of PathLayoutError. Components 0..3 are the last four counted components of the
// path: 0 is the first shard directory, 3 the file name.
struct PathLayoutErrorKind {
    struct Hex {
        HexError source;
        uint8_t component;
    };
    struct MetadataPath {};
    struct TooFewComponents {
        std::size_t count;
    };
    struct NonUtf8Component {
        uint8_t index;
    };
    using Value = std::variant<Hex, MetadataPath, TooFewComponents, NonUtf8Component>;
};

// Why a path is not a content path. Callers report the path in their own words; message() is
// only a diagnostic form.
class PathLayoutError final : public base::BoxedError<PathLayoutErrorKind::Value>,
                              public PathLayoutErrorKind {
  public:
    using BoxedError::BoxedError;

    std::string message() const override;
    std::string debug() const override;
    // The HexError of a Hex kind.
    const base::Error* source() const override;
};

// The FileId named by the last four components of `path` (relative to any directory, absolute
// or not). "." components, the root and repeated or trailing separators are not counted; ".."
// is. Any ".metadata" component makes the path a non-content path. Upper-case digits are
// accepted.
std::expected<FileId, PathLayoutError> parse_content_path(const std::filesystem::path& path);

}  // namespace kro::format
