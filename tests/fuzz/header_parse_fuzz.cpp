// Header::parse faces arbitrary bytes from disk: it must never crash, both parse entry points
// must agree, and whatever they accept must be exactly what the encoder writes. Random bytes
// almost never carry a valid checksum, so each input is also parsed once more with its checksum
// made valid, which reaches the descriptor and length checks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/digest.hpp"
#include "format/header.hpp"

namespace {

using namespace kro::format;

void check_agreement(const HeaderBytes& bytes) {
    const RawHeader raw(bytes);
    const auto parsed = Header::parse(bytes);
    const auto from_raw = Header::from_raw(raw);
    (void)raw.parent();
    (void)raw.content_seed();
    (void)raw.descriptor();
    (void)raw.reserved_is_zero();
    (void)raw.format_version();
    if (parsed.has_value() != from_raw.has_value()) std::abort();
    if (!parsed) {
        if (parsed.error().message() != from_raw.error().message()) std::abort();
        if (parsed.error().message().empty()) std::abort();
        (void)parsed.error().debug();
        return;
    }
    if (*parsed != *from_raw || !raw.checksum_valid()) std::abort();
    if (parsed->encode() != bytes || parsed->file_length() < HEADER_LEN) std::abort();
    if (parsed->file_length() != raw.file_length()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    initialize_crypto();
    const auto parsed = Header::parse(std::span<const uint8_t>(data, size));
    if (size < HEADER_LEN) {
        if (parsed || parsed.error().get_if<HeaderError::Truncated>() == nullptr) std::abort();
        return 0;
    }

    HeaderBytes bytes;
    std::copy_n(data, HEADER_LEN, bytes.begin());
    check_agreement(bytes);

    const RawHeader raw(bytes);
    const HeaderChecksum valid = raw.computed_checksum();
    std::copy(valid.begin(), valid.end(), bytes.begin() + 44);
    check_agreement(bytes);
    return 0;
}
