#pragma once
// The verification report as people read it: one line per finding on standard error, and the
// "Error Analysis" on standard output for every file whose content did not match, with its
// sizes, IDs, damaged regions and a 60-cell map of where the damage lies. Each printer takes
// the colour flag of its own stream. The pieces are pure functions over the report values;
// the printers gather their text in a `StreamWriter` and pass it on in large pieces.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cli/output/stream_writer.hpp"
#include "verify/verify_report.hpp"

namespace kro::cli {

inline constexpr std::size_t CORRUPTION_MAP_CELLS = 60;
using CorruptionMap = std::array<bool, CORRUPTION_MAP_CELLS>;

// One line per issue, "LABEL: message", to standard error; nothing for an empty list.
void print_issues(std::span<const verify::Issue> issues, bool err_color);
void print_issues(StreamWriter& err, std::span<const verify::Issue> issues, bool color);

// The "Error Analysis" of every ContentCorrupted issue, to standard output; nothing at all when
// there is none.
void print_error_analyses(std::span<const verify::Issue> issues, bool out_color);
void print_error_analyses(StreamWriter& out, std::span<const verify::Issue> issues, bool color);

// The message of one issue, paths in their display form.
std::string issue_message(const verify::Issue& issue);

// The map of one damaged file: every cell that a region touches, over the whole file from
// offset 0 to the larger of its two lengths.
CorruptionMap corruption_map(const verify::CorruptionReport& report);

// Marks the cells that the byte range [offset, offset + length) of a file of `total` bytes
// touches. A range marks at least one cell; one that ends exactly on a cell boundary also
// marks the next cell.
void mark_corruption_map(CorruptionMap& cells, std::uint64_t total, std::uint64_t offset,
                         std::uint64_t length);

// The 60 cells as one line (no newline): "█" for a damaged cell, "━" for a clean one, each
// painted on its own when `color` is on.
std::string render_visualization(const CorruptionMap& cells, bool color);

struct TableRow {
    std::string_view label;
    std::string value;
};

// Appends the rows, labels padded with blanks to the longest label plus two.
void render_table(std::string& out, std::span<const TableRow> rows);

// The pattern's name ("zero-filled" ...) and its detail line.
std::string_view pattern_name(const verify::CorruptionPattern& pattern);
std::string pattern_details(const verify::CorruptionPattern& pattern);

}  // namespace kro::cli
