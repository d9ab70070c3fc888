#pragma once
// The one error type of generation. Its kinds are an unsupported seeded format, an I/O failure
// wrapped once where it happened (a fixed action phrase, the path concerned and the system's
// error as the cause), a failing operating-system random source, a file size the sampler
// could not produce, and options below their least values.

#include <expected>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "base/errors/boxed_error.hpp"
#include "base/errors/io_error.hpp"
#include "gen/sizes/sampling.hpp"
#include "store/option_bounds.hpp"

namespace kro::gen {

// The action of any failure while a content file is being written, from its buffers to its
// close, whichever writer writes it.
inline constexpr std::string_view WRITING_CONTENT = "writing content";

// The kinds of GenerateError, in tag order.
struct GenerateErrorKind {
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
    // Options that no run can work with, refused before anything is touched.
    struct InvalidOptions {
        store::OptionBelowMinimum bound;
    };
    using Value = std::variant<UnsupportedSeedFormat, Io, Randomness, SizeSelection, InvalidOptions>;
};

class GenerateError final : public base::BoxedError<GenerateErrorKind::Value>, public GenerateErrorKind {
  public:
    using BoxedError::BoxedError;
    // An Io kind with its own copy of the path.
    static GenerateError io(std::string_view action, const std::filesystem::path& path, base::IoError source);

    // "seeded generation requires KRO v3", "{action} at {path}", ...
    std::string message() const override;
    const base::Error* source() const override;
    std::string debug() const override;
};

// Runs one step of generation, which returns a std::expected with an IoError or a GenerateError.
// An IoError becomes the step's failure, `action` at `path`; so does memory that runs out inside
// it (the cause "out of memory"), instead of an exception that would end the process.
template <typename Step>
auto io_step(std::string_view action, const std::filesystem::path& path, Step&& step)
    -> std::expected<typename decltype(step())::value_type, GenerateError> {
    using Value = typename decltype(step())::value_type;
    try {
        auto result = step();
        if constexpr (std::is_same_v<typename decltype(result)::error_type, GenerateError>) {
            return result;
        } else {
            if (!result) return std::unexpected(GenerateError::io(action, path, std::move(result.error())));
            if constexpr (std::is_void_v<Value>) {
                return {};
            } else {
                return std::move(*result);
            }
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(GenerateError::io(action, path, base::IoError::out_of_memory()));
    }
}

}  // namespace kro::gen
