#include "cli/output/render.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/path_display.hpp"
#include "cli/output/color.hpp"
#include "cli/output/number_format.hpp"

namespace kro::cli {
namespace {

using verify::CorruptionPattern;
using verify::CorruptionReport;
using verify::Issue;

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};

constexpr std::size_t REPORT_WIDTH = 80;
constexpr std::string_view REPORT_TITLE = "Error Analysis";

// Code points of UTF-8 text: the column width of the texts the report pads.
std::size_t char_count(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

std::string bytes_text(std::uint64_t n) {
    return format_thousands(n) + " bytes";
}

void append_title(std::string& out, bool color) {
    const std::size_t used = char_count(REPORT_TITLE) + 2;
    const std::size_t pad = used <= REPORT_WIDTH ? REPORT_WIDTH - used : 0;
    out += paint_string(color, sgr::RED, repeated("─", pad / 2));
    out += ' ';
    out += REPORT_TITLE;
    out += ' ';
    out += paint_string(color, sgr::RED, repeated("─", pad - pad / 2));
    out += '\n';
}

void append_path_mismatch(std::string& out, const CorruptionReport& report, bool color) {
    out += paint_bold(color, "Status:");
    out += ' ';
    out += paint_str(color, sgr::BOLD_YELLOW, "PATH MISMATCH");
    out += " (content valid)\n";
    const TableRow rows[] = {
        {"File Size", bytes_text(report.actual_len)},
        {"Path indicates", report.expected_id.to_hex()},
        {"Actual file ID", report.actual_id.to_hex()},
    };
    render_table(out, rows);
    out += "\nThe file content is valid but stored at an incorrect path.\n";
}

// A file can have millions of regions: each goes on to the stream as soon as the writer holds
// enough, so the report never gathers in memory.
void write_regions(StreamWriter& writer, const CorruptionReport& report, bool color) {
    std::string& out = writer.buffer();
    std::size_t number = 0;
    for (const verify::CorruptRegion& region : report.regions) {
        ++number;
        out += "\n  ";
        out += paint_string(color, sgr::BOLD, fmt::format("Region {}:", number));
        out += " Offset ";
        out += format_thousands(region.offset);
        out += "–";
        out += format_thousands(region.offset + region.length);
        out += " (";
        out += bytes_text(region.length);
        out += ")\n    Pattern: ";
        out += pattern_name(region.pattern);
        out += "\n    Details: ";
        out += pattern_details(region.pattern);
        out += '\n';
        writer.flush_if_full();
    }
}

void write_content_corrupted(StreamWriter& writer, const CorruptionReport& report, bool color) {
    std::string& out = writer.buffer();
    out += paint_bold(color, "Status:");
    out += ' ';
    out += paint_str(color, sgr::BOLD_RED, "CONTENT CORRUPTED");
    out += '\n';
    const bool v3 = report.version == format::FormatVersion::V3;
    const TableRow rows[] = {
        {"Actual Size", bytes_text(report.actual_len)},
        {"Header Size", bytes_text(report.expected_len)},
        {v3 ? "Expected v3 file ID" : "Expected BLAKE2b", report.expected_id.to_hex()},
        {v3 ? "Actual v3 file ID" : "Actual BLAKE2b", report.actual_id.to_hex()},
    };
    render_table(out, rows);

    out += "\nHeader Validation: ";
    out += paint_str(color, sgr::GREEN, "PASSED");
    out += "\nContent Seed: ";
    out += report.seed.to_hex();
    out += "\n\n";

    out += paint_bold(color, "Corruption Analysis");
    out += "\n  Analysis size: ";
    out += format_thousands(std::max(report.actual_len, report.expected_len));
    out += "\n  Bytes corrupted: ";
    out += paint_string(color, sgr::RED, format_thousands(report.corrupted_bytes()));
    out += fmt::format(" ({:.2f}%)\n  Regions: {}\n", report.percent_corrupted(), report.regions.size());
    write_regions(writer, report, color);

    out += '\n';
    out += paint_bold(color, "Visualization:");
    out += '\n';
    out += render_visualization(corruption_map(report), color);
    out += "\n0%";
    out.append(56, ' ');
    out += "100%\n";
}

void write_file_analysis(StreamWriter& writer, const CorruptionReport& report, bool color) {
    std::string& out = writer.buffer();
    out += '\n';
    out += paint_bold(color, "File:");
    out += ' ';
    out += base::display_path(report.path);
    out += '\n';
    if (report.is_intact()) {
        append_path_mismatch(out, report, color);
    } else {
        write_content_corrupted(writer, report, color);
    }
}

std::string content_corrupted_message(const CorruptionReport& report) {
    const std::string path = base::display_path(report.path);
    if (report.version == format::FormatVersion::V2)
        return fmt::format("Invalid checksum for file \"{}\": actual blake2b {}", path, report.actual_id);
    if (report.actual_id == report.expected_id)
        return fmt::format("Noncanonical KRO v3 content in file \"{}\"", path);
    return fmt::format("Invalid file ID for file \"{}\": actual KRO-Merkle-BLAKE3-160 {}", path,
                       report.actual_id);
}

}  // namespace

std::string issue_message(const Issue& issue) {
    using base::display_path;
    return std::visit(
        Overloaded{
            [](const Issue::InvalidPathLayout& i) {
                return fmt::format("Invalid KRO path layout: {}", display_path(i.path));
            },
            [](const Issue::HeaderCorrupted& i) {
                return fmt::format("Header corrupted in {} - cannot proceed with validation ({})",
                                   display_path(i.path), i.error.message());
            },
            [](const Issue::FileSizeMismatch& i) {
                return fmt::format("File size mismatch in {}: expected {}, got {}", display_path(i.path),
                                   i.expected, i.actual);
            },
            [](const Issue::ContentCorrupted& i) { return content_corrupted_message(i.report); },
            [](const Issue::ParentHashNotFound& i) {
                return fmt::format("Parent hash not found: {}", display_path(i.parent_path));
            },
            [](const Issue::ChainTipNotFound& i) {
                return fmt::format("Chain tip not found: {}", display_path(i.data_path));
            },
            [](const Issue::ChainFormatMismatch& i) {
                return fmt::format("Chain format mismatch in {}: {} child references {} parent {}",
                                   display_path(i.path), format::to_string(i.child_version),
                                   format::to_string(i.parent_version), display_path(i.parent_path));
            },
            [](const Issue::FileNotReferenced& i) {
                return fmt::format("File not referenced by any files: {}", display_path(i.path));
            },
            [](const Issue::RootHashInvalid&) {
                return std::string("Root hash is not valid, roots are missing.");
            },
        },
        issue.value);
}

void print_issues(StreamWriter& err, std::span<const Issue> issues, bool color) {
    for (const Issue& issue : issues) {
        const bool orphan = issue.get_if<Issue::FileNotReferenced>() != nullptr;
        std::string& out = err.buffer();
        out += paint_string(color, orphan ? sgr::BOLD_YELLOW : sgr::BOLD_RED,
                            fmt::format("{}:", issue.issue_class()));
        out += ' ';
        out += issue_message(issue);
        out += '\n';
        err.flush_if_full();
    }
    err.flush();
}

void print_issues(std::span<const Issue> issues, bool err_color) {
    StreamWriter err = StreamWriter::standard_error();
    print_issues(err, issues, err_color);
}

void print_error_analyses(StreamWriter& out, std::span<const Issue> issues, bool color) {
    const auto corrupted = [](const Issue& issue) {
        return issue.get_if<Issue::ContentCorrupted>() != nullptr;
    };
    if (std::none_of(issues.begin(), issues.end(), corrupted)) return;
    out.write("\n");
    append_title(out.buffer(), color);
    for (const Issue& issue : issues) {
        const auto* content = issue.get_if<Issue::ContentCorrupted>();
        if (content == nullptr) continue;
        write_file_analysis(out, content->report, color);
        out.flush_if_full();
    }
    out.write("\n");
    out.flush();
}

void print_error_analyses(std::span<const Issue> issues, bool out_color) {
    StreamWriter out = StreamWriter::standard_output();
    print_error_analyses(out, issues, out_color);
}

CorruptionMap corruption_map(const CorruptionReport& report) {
    CorruptionMap cells{};
    const std::uint64_t total = std::max(report.actual_len, report.expected_len);
    for (const verify::CorruptRegion& region : report.regions) {
        mark_corruption_map(cells, total, region.offset, region.length);
    }
    return cells;
}

void mark_corruption_map(CorruptionMap& cells, std::uint64_t total, std::uint64_t offset,
                         std::uint64_t length) {
    if (total == 0) return;
    constexpr u128 n = CORRUPTION_MAP_CELLS;
    const u128 start = u128{offset} * n / total;
    const u128 end = std::min((u128{offset} + length) * n / total + 1, n);
    for (u128 cell = start; cell < end; ++cell) cells[static_cast<std::size_t>(cell)] = true;
}

std::string render_visualization(const CorruptionMap& cells, bool color) {
    std::string line;
    line.reserve(cells.size() * (color ? 12 : 3));
    for (const bool damaged : cells)
        line += damaged ? paint_str(color, sgr::RED, "█") : paint_str(color, sgr::DIM, "━");
    return line;
}

void render_table(std::string& out, std::span<const TableRow> rows) {
    std::size_t width = 0;
    for (const TableRow& row : rows) width = std::max(width, char_count(row.label));
    width += 2;
    for (const TableRow& row : rows) {
        out += row.label;
        out.append(width - char_count(row.label), ' ');
        out += row.value;
        out += '\n';
    }
}

std::string_view pattern_name(const CorruptionPattern& pattern) {
    static constexpr std::string_view names[] = {"zero-filled", "repeated-byte", "sparse",     "aligned",
                                                 "random",      "truncated",     "extra-bytes"};
    static_assert(std::size(names) == std::variant_size_v<CorruptionPattern::Value>);
    return names[pattern.tag()];
}

std::string pattern_details(const CorruptionPattern& pattern) {
    using P = CorruptionPattern;
    return std::visit(
        Overloaded{
            [](const P::ZeroFilled&) { return std::string("All bytes are 0x00"); },
            [](const P::RepeatedByte& p) { return fmt::format("All bytes are 0x{:02x}", p.byte); },
            [](const P::Sparse& p) { return fmt::format("{} bytes corrupted", p.count); },
            [](const P::Aligned& p) {
                return fmt::format("Corruption aligned to {}-byte boundaries", p.alignment);
            },
            [](const P::Random& p) { return fmt::format("{:.1f}% corruption rate", p.ratio * 100.0); },
            [](const P::Truncated& p) {
                return fmt::format("Missing {} bytes at end of file", format_thousands(p.missing));
            },
            [](const P::ExtraBytes& p) {
                return fmt::format("Unexpected {} extra bytes", format_thousands(p.extra));
            },
        },
        pattern.value);
}

}  // namespace kro::cli
