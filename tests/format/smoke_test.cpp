#include <gtest/gtest.h>

#include "format/content.hpp"
#include "format/header.hpp"
#include "format/store_path.hpp"

namespace kro::format {
TEST(FormatSmoke, HeaderRoundTripAndPath) {
    const auto h = Header::make_v3(FileId{}, ContentSeed{}, 100);
    ASSERT_TRUE(h);
    const auto back = Header::parse(h->encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *h);
    FileId id;
    id.bytes[0] = 1;
    EXPECT_EQ(parse_content_path(store_path_of("/r", id)).value(), id);
    std::vector<uint8_t> a(3000), b(3000);
    fill_content_block(FormatVersion::V3, ContentSeed{}, 0, a);
    ContentReader::at_offset(ContentSeed{}, 0, FormatVersion::V3).fill(b);
    EXPECT_EQ(a, b);
}
}  // namespace kro::format
