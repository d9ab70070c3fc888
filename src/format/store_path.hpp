#pragma once
// The content-addressed store layout: a content file lives at root/b0/b1/b2/{34 digits}, named by
// its FileId (FileId::shard_path), and `.metadata` under the root holds the store's own records.
// parse_content_path reads a FileId back from a path's text alone; nothing here touches the file
// system. Pure functions; PathLayoutError is an immutable value, cheap to copy.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "base/backtrace.hpp"
#include "base/error.hpp"
#include "format/file_id.hpp"
#include "format/hex.hpp"

namespace kro::format {

// The root joined with the shard path of `id`.
std::filesystem::path store_path_of(const std::filesystem::path& root, const FileId& id);

// Why a path is not a content path. Callers report the path in their own words; message() is
// only a diagnostic form. Components 0..3 are the last four counted components of the path: 0 is
// the first shard directory, 3 the file name.
class PathLayoutError final : public base::Error {
  public:
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
    using Kind = std::variant<Hex, MetadataPath, TooFewComponents, NonUtf8Component>;

    // Captures a backtrace here, where the error is made.
    explicit PathLayoutError(Kind kind);

    const Kind& kind() const { return inner_->kind; }
    const base::Backtrace& backtrace() const { return inner_->backtrace; }
    template <typename K>
    const K* get_if() const {
        return std::get_if<K>(&inner_->kind);
    }

    std::string message() const override;
    std::string debug() const override;
    // The HexError of a Hex kind.
    const base::Error* source() const override;

  private:
    // Kept on the heap so that a successful parse result stays small.
    struct Inner {
        Kind kind;
        base::Backtrace backtrace;
    };
    std::shared_ptr<const Inner> inner_;
};

using PathLayoutErrorKind = PathLayoutError::Kind;

// The FileId named by the last four components of `path` (relative to any directory, absolute
// or not). "." components, the root and repeated or trailing separators are not counted; ".."
// is. Any ".metadata" component makes the path a non-content path. Upper-case digits are
// accepted.
std::expected<FileId, PathLayoutError> parse_content_path(const std::filesystem::path& path);

}  // namespace kro::format
