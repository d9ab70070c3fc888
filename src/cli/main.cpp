#include <cstdio>

#include "format/digest.hpp"

int main() {
    kro::format::initialize_crypto();
    std::fputs("kro: no command is available yet\n", stderr);
    return 2;
}
