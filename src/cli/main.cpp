#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/errors/panic.hpp"
#include "cli/entry.hpp"
#include "format/digest.hpp"

int main(int argc, char** argv) {
    // A closed pipe must surface as a failed write, not end the process silently.
    ::signal(SIGPIPE, SIG_IGN);
    kro::format::initialize_crypto();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    try {
        return kro::cli::run_kro(args);
    } catch (const kro::base::Panic& panic) {
        std::fprintf(stderr, "kro: internal error: %s\n", panic.describe().c_str());
        return 101;
    }
}
