#include "cli/dev/show.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <span>
#include <vector>

#include "base/path_display.hpp"
#include "cli/output/color.hpp"
#include "cli/output/number_format.hpp"
#include "format/store_path.hpp"

namespace kro::cli {
namespace {

namespace fs = std::filesystem;

constexpr int STORE_DEPTH = 4;  // the file name and three shard directories

std::string yes_no(bool color, bool value) {
    return value ? paint_str(color, sgr::GREEN, "yes") : paint_str(color, sgr::RED, "no");
}

std::string hex_of(std::span<const uint8_t> bytes) {
    return to_hex(bytes);
}

bool declared_matches_actual(const ShowFacts& facts) {
    return facts.raw.file_length() == facts.actual_size;
}

bool declared_covers_header(const ShowFacts& facts) {
    return facts.raw.file_length() >= format::HEADER_LEN;
}

bool header_format_valid(const ShowFacts& facts) {
    return format::Header::from_raw(facts.raw).has_value();
}

std::string scheme_name(uint8_t value, const char* known) {
    return value == 1 ? known : "unrecognized";
}

std::string block_size_text(uint8_t log2) {
    if (log2 >= 64) return "unrecognized";
    return format_thousands(uint64_t{1} << log2);
}

void append_descriptor_lines(std::string& out, const ShowFacts& facts) {
    const format::FormatDescriptor d = facts.raw.descriptor();
    const std::span<const uint8_t> bytes(d);
    fmt::format_to(std::back_inserter(out), "  Format Descriptor (52:60): {}\n", hex_of(bytes));
    fmt::format_to(std::back_inserter(out), "    Marker (52:56): {} (KRO v3)\n", hex_of(bytes.first(4)));
    fmt::format_to(std::back_inserter(out), "    File-ID scheme (56): {} ({})\n", d[4],
                   scheme_name(d[4], "KRO-Merkle-BLAKE3-160"));
    fmt::format_to(std::back_inserter(out), "    Content scheme (57): {} ({})\n", d[5],
                   scheme_name(d[5], "indexed SHAKE-128"));
    fmt::format_to(std::back_inserter(out), "    Block size log2 (58): {} ({} bytes)\n", d[6],
                   block_size_text(d[6]));
    fmt::format_to(std::back_inserter(out), "    Flags (59): {} ({})\n", d[7],
                   d[7] == 0 ? "none set" : "unrecognized");
}

std::string expected_line(const ShowFacts& facts) {
    if (!facts.path_id) return "  Expected (from path): <unavailable: not in KRO layout>\n";
    return fmt::format("  Expected (from path): {}\n", *facts.path_id);
}

}  // namespace

std::optional<fs::path> store_root_of(const fs::path& path, const std::optional<fs::path>& cwd) {
    fs::path absolute;
    if (path.is_absolute()) {
        absolute = path;
    } else {
        if (!cwd) return std::nullopt;
        absolute = *cwd / path;
    }
    // Lexical only: ".." and symbolic links stay, since resolving them could leave the store.
    std::vector<fs::path> names;
    for (const fs::path& part : absolute.relative_path()) {
        if (part.empty() || part == ".") continue;
        names.push_back(part);
    }
    if (names.size() < STORE_DEPTH) return std::nullopt;
    fs::path root = absolute.root_path();
    for (auto it = names.begin(); it != names.end() - STORE_DEPTH; ++it) root /= *it;
    return root;
}

std::optional<fs::path> parent_store_path(const ShowFacts& facts, const std::optional<fs::path>& cwd) {
    const format::FileId parent = facts.raw.parent();
    if (!facts.path_id || parent.is_zero()) return std::nullopt;
    const std::optional<fs::path> root = store_root_of(facts.path, cwd);
    if (!root) return std::nullopt;
    return format::store_path_of(*root, parent);
}

std::string render_listing(const ShowFacts& facts, const std::optional<fs::path>& parent_path, bool color) {
    const format::RawHeader& raw = facts.raw;
    const std::expected<format::FormatVersion, format::HeaderError> version = raw.format_version();
    const bool v3 = version && *version == format::FormatVersion::V3;
    const format::FileId parent = raw.parent();
    const format::ContentSeed seed = raw.content_seed();
    const format::HeaderChecksum stored = raw.stored_checksum();
    const format::HeaderChecksum computed = raw.computed_checksum();
    const format::FormatDescriptor descriptor = raw.descriptor();

    std::string out;
    auto line = [&out]<typename... Args>(fmt::format_string<Args...> text, Args&&... args) {
        fmt::format_to(std::back_inserter(out), text, std::forward<Args>(args)...);
        out += '\n';
    };

    line("{} {}", paint_bold(color, "File:"), base::display_path(facts.path));
    line("{} {} bytes", paint_bold(color, "Actual size:"), format_thousands(facts.actual_size));
    if (facts.path_id) line("{} {}", paint_bold(color, "KRO hash (from path):"), *facts.path_id);
    line("");
    line("{} (60 bytes):", paint_bold(color, "KRO header"));
    if (!version) {
        line("  Format version: unknown");
    } else {
        line("  Format version: {}", *version == format::FormatVersion::V3 ? 3 : 2);
    }
    line("  Parent Hash (0:20): {}", parent);
    line("    Root: {}", yes_no(color, parent.is_zero()));
    line("  Content Seed (20:36): {}", seed);
    line("  File Length (36:44): {} bytes", format_thousands(raw.file_length()));
    line("    Matches actual: {}", yes_no(color, declared_matches_actual(facts)));
    line("  Header Checksum (44:52): {}", hex_of(stored));
    line("    Expected: {}", hex_of(computed));
    line("    Valid: {}", yes_no(color, raw.checksum_valid()));
    if (v3) {
        append_descriptor_lines(out, facts);
    } else {
        line("  Reserved (52:60): {}", hex_of(descriptor));
        line("    All zeros: {}", yes_no(color, raw.reserved_is_zero()));
    }
    line("");
    line("{}", paint_bold(color, "Basic validation:"));
    line("  Header checksum valid: {}", yes_no(color, raw.checksum_valid()));
    line("  Header format valid: {}", yes_no(color, header_format_valid(facts)));
    if (!v3) line("  Reserved bytes zero: {}", yes_no(color, raw.reserved_is_zero()));
    line("  File length matches actual: {}", yes_no(color, declared_matches_actual(facts)));
    line("  File length >= header size: {}", yes_no(color, declared_covers_header(facts)));
    if (parent_path) {
        line("");
        line("{} {}", paint_bold(color, "Parent path:"), base::display_path(*parent_path));
    }
    return out;
}

std::string render_unknown_identity(const ShowFacts& facts, bool color) {
    std::string out = "\n";
    out += paint_bold(color, "File identity");
    out += ":\n";
    out += expected_line(facts);
    out += "  Actual: <unavailable: unknown header format>\n";
    out += fmt::format("  Matches: {}\n", yes_no(color, false));
    return out;
}

std::string render_identity(const ShowFacts& facts, format::FormatVersion version,
                            const format::FileId& actual, bool color) {
    const bool v3 = version == format::FormatVersion::V3;
    std::string out = "\n";
    out += v3 ? paint_bold(color, "File ID") + " (KRO-Merkle-BLAKE3-160):\n"
              : paint_bold(color, "File checksum") + " (BLAKE2b-160):\n";
    out += expected_line(facts);
    out += fmt::format("  Actual: {}\n", actual);
    out += fmt::format("  Matches: {}\n", yes_no(color, facts.path_id == actual));
    return out;
}

uint8_t identity_verdict(const ShowFacts& facts, const format::FileId& actual) {
    const bool sound = facts.path_id == actual && declared_matches_actual(facts) &&
                       header_format_valid(facts) && declared_covers_header(facts);
    return sound ? 0 : 1;
}

}  // namespace kro::cli
