#pragma once
// What a successful generation run returns.

#include <cstdint>

#include "format/file_id.hpp"
#include "format/header.hpp"
#include "format/store_layout.hpp"

namespace kro::gen {

struct GenerateSummary {
    uint64_t files_written = 0;
    uint64_t bytes_written = 0;           // header bytes included; saturates at the largest u64
    format::FileId tip;                   // the last file placed; all zero when none was
    format::AggregateDigest aggregate{};  // the chain-tip aggregate digest written at the end
    format::FormatVersion version = format::FormatVersion::V3;
};

}  // namespace kro::gen
