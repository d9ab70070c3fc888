#include "base/errors/backtrace.hpp"

#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace kro::base {

bool Backtrace::enabled() {
    static const bool on = [] {
        const char* v = std::getenv("KRO_BACKTRACE");
        return v != nullptr && std::strcmp(v, "0") != 0;
    }();
    return on;
}

Backtrace Backtrace::capture() {
    Backtrace bt;
    if (!enabled()) return bt;
    bt.frames_.resize(64);
    const int n = ::backtrace(bt.frames_.data(), static_cast<int>(bt.frames_.size()));
    bt.frames_.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bt;
}

std::string Backtrace::debug() const {
    if (frames_.empty()) return "<disabled>";
    std::unique_ptr<char*, decltype(&std::free)> symbols(
        ::backtrace_symbols(frames_.data(), static_cast<int>(frames_.size())), &std::free);
    std::string out;
    for (size_t i = 0; i < frames_.size(); ++i) {
        out += "\n  ";
        out += symbols ? symbols.get()[i] : "?";
    }
    return out;
}

}  // namespace kro::base
