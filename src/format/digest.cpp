#include "format/digest.hpp"

#include <gcrypt.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/errors/panic.hpp"
#include "base/os_random.hpp"

namespace kro::format {
namespace {

// libsodium's own random source aborts the process when the operating system's source fails
// even once, and its start-up asks it for bytes. kro takes its randomness from
// base::fill_os_random, which reports failures to whoever needs the bytes; libsodium is given
// the same source so that it never opens a source of its own. The only bytes libsodium draws are
// the canary of its guarded allocations, which kro does not use: when the source fails, that
// canary stays zero rather than ending the process.
void sodium_random_fill(void* const out, const size_t size) {
    const std::span<uint8_t> bytes(static_cast<uint8_t*>(out), size);
    if (!base::fill_os_random(bytes)) std::fill(bytes.begin(), bytes.end(), uint8_t{0});
}

uint32_t sodium_random_word() {
    uint32_t word = 0;
    sodium_random_fill(&word, sizeof word);
    return word;
}

const char* sodium_random_name() {
    return "kro-os-random";
}

randombytes_implementation sodium_random_source = {
    .implementation_name = sodium_random_name,
    .random = sodium_random_word,
    .stir = nullptr,
    .uniform = nullptr,
    .buf = sodium_random_fill,
    .close = nullptr,
};

}  // namespace

static_assert(sizeof(crypto_generichash_state) <= 384);
static_assert(std::tuple_size_v<ShortHashKey> == crypto_shorthash_KEYBYTES);
static_assert(crypto_shorthash_BYTES == sizeof(uint64_t));

void initialize_crypto() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) base::panic("libgcrypt version mismatch");
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        if (randombytes_set_implementation(&sodium_random_source) != 0)
            base::panic("libsodium refused kro's random source");
        if (sodium_init() < 0) base::panic("libsodium failed to initialise");
        Blake3 warm;
        const uint8_t byte = 0;
        warm.update({&byte, 1});
        (void)warm.finalize();
    });
}

std::array<uint8_t, 32> sha3_256(std::span<const uint8_t> message) {
    std::array<uint8_t, 32> out;
    gcry_md_hash_buffer(GCRY_MD_SHA3_256, out.data(), message.data(), message.size());
    return out;
}

Shake128::Shake128(Output output) : output_(output) {
    gcry_md_hd_t h = nullptr;
    if (gcry_md_open(&h, GCRY_MD_SHAKE128, 0) != 0) base::panic("cannot open a SHAKE128 context");
    handle_ = h;
}

Shake128::~Shake128() {
    if (handle_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

Shake128::Shake128(Shake128&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), output_(other.output_) {}

Shake128& Shake128::operator=(Shake128&& other) noexcept {
    std::swap(handle_, other.handle_);
    std::swap(output_, other.output_);
    return *this;
}

void Shake128::restart(std::span<const uint8_t> message) {
    auto h = static_cast<gcry_md_hd_t>(handle_);
    gcry_md_reset(h);
    gcry_md_write(h, message.data(), message.size());
}

namespace {

void extract(gcry_md_hd_t handle, std::span<uint8_t> out) {
    if (gcry_md_extract(handle, GCRY_MD_SHAKE128, out.data(), out.size()) != 0)
        base::panic("SHAKE128 squeeze failed");
}

}  // namespace

void Shake128::squeeze(std::span<uint8_t> out) {
    // A block buffer last written by another thread fills about a quarter slower straight than
    // through the stage; a private one fills a few percent faster straight.
    constexpr std::size_t STAGE_LEN = 16384;
    const auto handle = static_cast<gcry_md_hd_t>(handle_);
    if (output_ == Output::Private || out.size() <= STAGE_LEN) {
        if (!out.empty()) extract(handle, out);
        return;
    }
    alignas(64) std::array<uint8_t, STAGE_LEN> stage;
    while (!out.empty()) {
        const auto piece = std::min(out.size(), STAGE_LEN);
        extract(handle, std::span(stage).first(piece));
        std::memcpy(out.data(), stage.data(), piece);
        out = out.subspan(piece);
    }
}

Blake2b160::Blake2b160() {
    crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(state_), nullptr, 0, 20);
}

void Blake2b160::update(std::span<const uint8_t> bytes) {
    crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state_), bytes.data(),
                              bytes.size());
}

std::array<uint8_t, 20> Blake2b160::finalize() {
    std::array<uint8_t, 20> out;
    crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(state_), out.data(), out.size());
    return out;
}

void blake3_derive_key(std::string_view context, std::span<const uint8_t> material, std::span<uint8_t> out) {
    blake3_hasher h;
    blake3_hasher_init_derive_key_raw(&h, context.data(), context.size());
    blake3_hasher_update(&h, material.data(), material.size());
    blake3_hasher_finalize(&h, out.data(), out.size());
}

uint64_t short_hash(const ShortHashKey& key, std::span<const uint8_t> message) {
    std::array<uint8_t, crypto_shorthash_BYTES> out;
    crypto_shorthash(out.data(), message.data(), message.size(), key.data());
    uint64_t value = 0;
    std::memcpy(&value, out.data(), sizeof value);
    return value;
}

}  // namespace kro::format
