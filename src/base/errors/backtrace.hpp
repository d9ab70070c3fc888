#pragma once
// A backtrace captured where an error value is made. Capture is cheap (raw return addresses)
// and happens only when KRO_BACKTRACE is set to something other than "0", read once per process;
// otherwise a Backtrace is empty. Symbols are resolved only for the debug form.

#include <string>
#include <vector>

namespace kro::base {

class Backtrace {
  public:
    // Captures the calling stack when backtraces are enabled, else an empty value.
    static Backtrace capture();

    bool empty() const { return frames_.empty(); }
    // "<disabled>" when empty, else one symbolised frame per line.
    std::string debug() const;

    static bool enabled();

  private:
    std::vector<void*> frames_;
};

}  // namespace kro::base
