#include <gtest/gtest.h>

#include "format/digest.hpp"

int main(int argc, char** argv) {
    kro::format::initialize_crypto();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
