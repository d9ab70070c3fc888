#pragma once
// The error that stops a verification run. Damage found in a store is never an error (it
// becomes an Issue); only options no run can work with, a store that is not a store, a tree that
// nests too deep, or a failing input/output operation ends the run.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

#include "base/errors/boxed_error.hpp"
#include "base/errors/io_error.hpp"
#include "store/option_bounds.hpp"

namespace kro::verify {

// The action of a read of a data file's content that failed.
inline constexpr std::string_view READING_A_DATA_FILE = "reading a data file";

// The deepest directory level the store walk lists; the root is level 0.
inline constexpr uint64_t MAX_STORE_DEPTH = 64;

// The kinds of VerifyError.
struct VerifyErrorKind {
    struct NotAStore {
        std::filesystem::path root;
    };
    struct Io {
        std::string_view action;  // one of the fixed action phrases, never copied
        std::filesystem::path path;
        base::IoError source;
    };
    struct ExcessiveNesting {
        std::filesystem::path path;  // the directory one level too deep
    };
    // Options that no run can work with, refused before anything is read.
    struct InvalidOptions {
        store::OptionBelowMinimum bound;
    };
    using Value = std::variant<NotAStore, Io, ExcessiveNesting, InvalidOptions>;
};

class VerifyError final : public base::BoxedError<VerifyErrorKind::Value>, public VerifyErrorKind {
  public:
    using BoxedError::BoxedError;

    // An Io kind. `action` must be a constant phrase: it is referred to, not copied.
    static VerifyError io(std::string_view action, const std::filesystem::path& path, base::IoError source);

    std::string message() const override;
    // The operating-system error of an Io kind; nothing for the other kinds.
    const base::Error* source() const override;
    // "VerifyError { inner: VerifyErrorInner { kind: Io { action: .., path: .., source: .. }, backtrace: .. }
    // }".
    std::string debug() const override;
};

// The I/O error of a file whose reads ended before, or went on past, the length its metadata
// gave: "{what} changed while it was being read". What was read then says nothing about what is
// stored.
base::IoError changed_while_read(std::string_view what);

}  // namespace kro::verify
