#pragma once
// What a damaged stretch of a content file looks like. The corruption analysis compares a file
// with its regenerated content chunk by chunk, classifies every chunk that differs into a
// CorruptionPattern and merges neighbouring chunks of equal pattern into CorruptRegions. Plain
// values; the two functions are pure.

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace kro::verify {

// Fewer differing bytes than this fraction of a chunk make the chunk Sparse.
inline constexpr double SPARSE_RATIO = 0.1;
// How many differing positions of a chunk are recorded for the alignment test.
inline constexpr uint64_t RECORDED_POSITIONS = 5;
// The alignment that the Aligned pattern tests and reports.
inline constexpr uint64_t TESTED_ALIGNMENT = 512;

struct CorruptionPattern {
    // Every byte of the chunk as read is 0x00.
    struct ZeroFilled {
        friend bool operator==(const ZeroFilled&, const ZeroFilled&) = default;
    };
    // Every byte of the chunk as read equals its first byte, which is not 0x00.
    struct RepeatedByte {
        uint8_t byte;
        friend bool operator==(const RepeatedByte&, const RepeatedByte&) = default;
    };
    // Fewer than 10 % of the chunk's bytes differ; `count` of them do.
    struct Sparse {
        uint64_t count;
        friend bool operator==(const Sparse&, const Sparse&) = default;
    };
    // At least 10 % differ and the first differing positions all fall on multiples of 512.
    struct Aligned {
        uint64_t alignment;
        friend bool operator==(const Aligned&, const Aligned&) = default;
    };
    // Anything else; `ratio` is the fraction of the chunk's bytes that differ.
    struct Random {
        double ratio;
        friend bool operator==(const Random&, const Random&) = default;
    };
    // The file is `missing` bytes shorter than its header declares.
    struct Truncated {
        uint64_t missing;
        friend bool operator==(const Truncated&, const Truncated&) = default;
    };
    // The file is `extra` bytes longer than its header declares.
    struct ExtraBytes {
        uint64_t extra;
        friend bool operator==(const ExtraBytes&, const ExtraBytes&) = default;
    };
    // The variant index is the pattern's tag (0 ZeroFilled ... 6 ExtraBytes).
    using Value = std::variant<ZeroFilled, RepeatedByte, Sparse, Aligned, Random, Truncated, ExtraBytes>;

    Value value;

    template <typename P>
    requires std::is_constructible_v<Value, P> CorruptionPattern(P pattern) : value(std::move(pattern)) {}

    uint8_t tag() const { return static_cast<uint8_t>(value.index()); }
    template <typename P>
    const P* get_if() const {
        return std::get_if<P>(&value);
    }
    // Equal tags and equal payloads (Random ratios compare as floating-point numbers).
    friend bool operator==(const CorruptionPattern&, const CorruptionPattern&) = default;
};

// The damaged range [offset, offset + length) of a file; offsets count the header.
struct CorruptRegion {
    CorruptionPattern pattern;
    uint64_t offset;
    uint64_t length;
    friend bool operator==(const CorruptRegion&, const CorruptRegion&) = default;
};

// Classifies one chunk. `actual` and `expected` have the same length and differ in at least
// one byte.
CorruptionPattern classify_chunk(std::span<const uint8_t> actual, std::span<const uint8_t> expected);

// True when `next` merges into `last`: it starts exactly where `last` ends and has an equal
// pattern. The merged region keeps the payload of `last`.
bool continues(const CorruptRegion& last, const CorruptRegion& next);

}  // namespace kro::verify
