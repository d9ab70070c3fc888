#include "verify/verify_error.hpp"

#include <fmt/format.h>

#include "base/path_display.hpp"
#include "format/store_layout.hpp"

namespace kro::verify {

base::IoError changed_while_read(std::string_view what) {
    return base::IoError::with_message(base::IoErrorKind::UnexpectedEof,
                                       std::string(what) + " changed while it was being read");
}
namespace {

// A path in its debug form: its display text, quoted.
std::string quoted(const std::filesystem::path& path) {
    return fmt::format("\"{}\"", base::display_path(path));
}

}  // namespace

VerifyError VerifyError::io(std::string_view action, const std::filesystem::path& path,
                            base::IoError source) {
    return VerifyError(VerifyErrorKind::Io{action, path, std::move(source)});
}

std::string VerifyError::message() const {
    struct Visitor {
        std::string operator()(const VerifyErrorKind::NotAStore& k) const {
            return fmt::format("{} is not a valid KRO store (missing {}/{} directory)",
                               base::display_path(k.root), format::METADATA_DIR, format::ROOTS_DIR);
        }
        std::string operator()(const VerifyErrorKind::Io& k) const {
            return fmt::format("{} at {}", k.action, base::display_path(k.path));
        }
        std::string operator()(const VerifyErrorKind::ExcessiveNesting& k) const {
            return fmt::format("store directories nest more than {} levels deep at {}", MAX_STORE_DEPTH,
                               base::display_path(k.path));
        }
        std::string operator()(const VerifyErrorKind::InvalidOptions& k) const { return k.bound.message(); }
    };
    return std::visit(Visitor{}, kind());
}

const base::Error* VerifyError::source() const {
    if (const auto* io = get_if<VerifyErrorKind::Io>()) return &io->source;
    return nullptr;
}

std::string VerifyError::debug() const {
    struct Visitor {
        std::string operator()(const VerifyErrorKind::NotAStore& k) const {
            return fmt::format("NotAStore {{ root: {} }}", quoted(k.root));
        }
        std::string operator()(const VerifyErrorKind::Io& k) const {
            return fmt::format("Io {{ action: \"{}\", path: {}, source: {} }}", k.action, quoted(k.path),
                               k.source.debug());
        }
        std::string operator()(const VerifyErrorKind::ExcessiveNesting& k) const {
            return fmt::format("ExcessiveNesting {{ path: {} }}", quoted(k.path));
        }
        std::string operator()(const VerifyErrorKind::InvalidOptions& k) const {
            return fmt::format("InvalidOptions {{ field: \"{}\", value: {}, minimum: {} }}", k.bound.field,
                               k.bound.value, k.bound.minimum);
        }
    };
    return fmt::format("VerifyError {{ inner: VerifyErrorInner {{ kind: {}, backtrace: {} }} }}",
                       std::visit(Visitor{}, kind()), backtrace().debug());
}

}  // namespace kro::verify
