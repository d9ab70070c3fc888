#include "gen/generate_error.hpp"

#include <fmt/format.h>

#include "base/path_display.hpp"

namespace kro::gen {

GenerateError GenerateError::io(std::string_view action, const std::filesystem::path& path,
                                base::IoError source) {
    return GenerateError(Io{action, path, std::move(source)});
}

std::string GenerateError::message() const {
    struct Visitor {
        std::string operator()(const UnsupportedSeedFormat&) const {
            return "seeded generation requires KRO v3";
        }
        std::string operator()(const Io& k) const {
            return fmt::format("{} at {}", k.action, base::display_path(k.path));
        }
        std::string operator()(const Randomness&) const { return "operating-system random source failed"; }
        std::string operator()(const SizeSelection&) const { return "selecting the next file size failed"; }
        std::string operator()(const InvalidOptions& k) const { return k.bound.message(); }
    };
    return std::visit(Visitor{}, kind());
}

const base::Error* GenerateError::source() const {
    struct Visitor {
        const base::Error* operator()(const UnsupportedSeedFormat&) const { return nullptr; }
        const base::Error* operator()(const Io& k) const { return &k.source; }
        const base::Error* operator()(const Randomness& k) const { return &k.source; }
        const base::Error* operator()(const SizeSelection& k) const { return &k.source; }
        const base::Error* operator()(const InvalidOptions&) const { return nullptr; }
    };
    return std::visit(Visitor{}, kind());
}

std::string GenerateError::debug() const {
    struct Visitor {
        std::string operator()(const UnsupportedSeedFormat&) const { return "UnsupportedSeedFormat"; }
        std::string operator()(const Io& k) const {
            return fmt::format("Io {{ action: \"{}\", path: \"{}\", source: {} }}", k.action,
                               base::display_path(k.path), k.source.debug());
        }
        std::string operator()(const Randomness& k) const {
            return fmt::format("Randomness {{ source: {} }}", k.source.debug());
        }
        std::string operator()(const SizeSelection& k) const {
            return fmt::format("SizeSelection {{ source: {} }}", k.source.debug());
        }
        std::string operator()(const InvalidOptions& k) const {
            return fmt::format("InvalidOptions {{ field: \"{}\", value: {}, minimum: {} }}", k.bound.field,
                               k.bound.value, k.bound.minimum);
        }
    };
    return fmt::format("GenerateError {{ kind: {}, backtrace: {} }}", std::visit(Visitor{}, kind()),
                       backtrace().debug());
}

}  // namespace kro::gen
