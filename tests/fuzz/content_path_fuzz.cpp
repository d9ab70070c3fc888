// parse_content_path faces arbitrary names from a directory walk: it must never crash, an
// accepted path must name a FileId whose shard path parses back to it, and whatever stands above
// a shard path may only make it a metadata path.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "format/store_path.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kro::format;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = parse_content_path(std::filesystem::path(text));
    if (parsed) {
        const auto again = parse_content_path(parsed->shard_path());
        if (!again || *again != *parsed) std::abort();
    } else {
        (void)parsed.error().message();
        (void)parsed.error().debug();
    }

    FileId id;
    std::copy_n(data, std::min(size, id.bytes.size()), id.bytes.begin());
    const auto under = parse_content_path(std::filesystem::path(text) / id.shard_path());
    if (under ? *under != id : under.error().get_if<PathLayoutError::MetadataPath>() == nullptr) std::abort();
    return 0;
}
