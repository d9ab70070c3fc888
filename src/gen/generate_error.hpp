#pragma once
// The one error type of generation. Its kinds are an unsupported seeded format, an I/O failure
// wrapped once where it happened (a fixed action phrase, the path concerned and the system's
// error as the cause), a failing operating-system random source, and a file size the sampler
// could not produce. The kind lives behind an owned pointer so that results stay small; the
// backtrace is captured where the error is made. Move-only value.

#include <expected>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "base/backtrace.hpp"
#include "base/error.hpp"
#include "base/io_error.hpp"
#include "gen/sizes/sampling.hpp"

namespace kro::gen {

class GenerateError final : public base::Error {
  public:
    struct UnsupportedSeedFormat {};
    struct Io {
        std::string_view action;  // a fixed phrase such as "creating the store root"
        std::filesystem::path path;
        base::IoError source;
    };
    struct Randomness {
        base::IoError source;
    };
    struct SizeSelection {
        SampleError source;
    };
    using Kind = std::variant<UnsupportedSeedFormat, Io, Randomness, SizeSelection>;

    // Captures a backtrace here, where the error is made.
    explicit GenerateError(Kind kind);
    // An Io kind with its own copy of the path.
    static GenerateError io(std::string_view action, const std::filesystem::path& path, base::IoError source);

    const Kind& kind() const { return inner_->kind; }
    const base::Backtrace& backtrace() const { return inner_->backtrace; }
    // The payload when the kind is K, else nullptr.
    template <typename K>
    const K* get_if() const {
        return std::get_if<K>(&inner_->kind);
    }

    // "seeded generation requires KRO v3", "{action} at {path}", ...
    std::string message() const override;
    const base::Error* source() const override;
    std::string debug() const override;

  private:
    struct Inner {
        Kind kind;
        base::Backtrace backtrace;
    };
    std::unique_ptr<Inner> inner_;
};

using GenerateErrorKind = GenerateError::Kind;

// Runs one step of generation, which returns a std::expected with a GenerateError. Memory that
// runs out inside it is that step's failure, `action` at `path` with the cause "out of memory",
// instead of an exception that would end the process.
template <typename Step>
auto io_step(std::string_view action, const std::filesystem::path& path, Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return std::unexpected(GenerateError::io(
            action, path, base::IoError::with_message(base::IoErrorKind::OutOfMemory, "out of memory")));
    }
}

}  // namespace kro::gen
