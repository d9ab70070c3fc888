#include "base/errors/error.hpp"

namespace kro::base {

std::string error_chain(const Error& error) {
    std::string out = error.message();
    for (const Error* e = error.source(); e != nullptr; e = e->source()) {
        out += ": ";
        out += e->message();
    }
    return out;
}

}  // namespace kro::base
