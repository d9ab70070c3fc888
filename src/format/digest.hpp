#pragma once
// The only door to the hash libraries: SHA3-256 and SHAKE128 (libgcrypt), BLAKE2b-160
// (libsodium) and BLAKE3 (the official C implementation). Nothing else in kro calls them.
// Each hasher object is used by one thread at a time; different objects are independent.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <blake3.h>

namespace kro::format {

// Once per process, before any thread starts: library version check and initialisation,
// and one BLAKE3 hash so that its CPU-feature cache is filled. Idempotent.
void initialize_crypto();

std::array<uint8_t, 32> sha3_256(std::span<const uint8_t> message);

// A SHAKE128 sponge that can be restarted for a new message and squeezed incrementally.
class Shake128 {
  public:
    // Where a sponge's outputs go. The sponge stores its output a few bytes at a time, and each
    // store into a cache line that another core last touched stalls: a buffer that other threads
    // write out or read (the parallel writer's blocks) fills faster through a cache-resident
    // stage copied out in whole lines. Into a buffer that only its own thread touches the stage
    // is a copy that costs more than it saves.
    enum class Output { Private, Shared };

    Shake128() : Shake128(Output::Private) {}
    explicit Shake128(Output output);
    ~Shake128();
    Shake128(Shake128&& other) noexcept;
    Shake128& operator=(Shake128&& other) noexcept;
    Shake128(const Shake128&) = delete;
    Shake128& operator=(const Shake128&) = delete;

    // Starts a new sponge over `message` (the previous one is discarded).
    void restart(std::span<const uint8_t> message);
    // Squeezes the next out.size() bytes of output into `out`.
    void squeeze(std::span<uint8_t> out);

  private:
    void* handle_ = nullptr;  // gcry_md_hd_t
    Output output_;
};

// Unkeyed BLAKE2b with a 20-byte digest, incremental.
class Blake2b160 {
  public:
    Blake2b160();
    void update(std::span<const uint8_t> bytes);
    std::array<uint8_t, 20> finalize();

  private:
    // crypto_generichash_state needs 64-byte alignment; 384 bytes cover it.
    alignas(64) unsigned char state_[384];
};

// Plain BLAKE3 with 32-byte output, incremental.
class Blake3 {
  public:
    Blake3() { blake3_hasher_init(&hasher_); }
    void update(std::span<const uint8_t> bytes) {
        blake3_hasher_update(&hasher_, bytes.data(), bytes.size());
    }
    std::array<uint8_t, 32> finalize() const {
        std::array<uint8_t, 32> out;
        blake3_hasher_finalize(&hasher_, out.data(), out.size());
        return out;
    }

  private:
    blake3_hasher hasher_;
};

// BLAKE3 key derivation: `out.size()` bytes derived from `material` under `context`.
void blake3_derive_key(std::string_view context, std::span<const uint8_t> material, std::span<uint8_t> out);

// SipHash-2-4, a keyed 64-bit hash for hash tables whose keys come from outside: without the key,
// nobody can choose keys that collide.
using ShortHashKey = std::array<uint8_t, 16>;
uint64_t short_hash(const ShortHashKey& key, std::span<const uint8_t> message);

}  // namespace kro::format
