#include "verify/analysis/region_list.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kro::verify {
namespace {

using P = CorruptionPattern;

// `count` one-byte regions that never merge: every other byte of the file from `first` on.
std::vector<CorruptRegion> apart(uint64_t first, size_t count) {
    std::vector<CorruptRegion> out;
    for (size_t i = 0; i < count; ++i) out.push_back({P::Sparse{i}, first + 2 * i, 1});
    return out;
}

RegionList list_of(const std::vector<CorruptRegion>& regions) {
    RegionList list;
    for (const CorruptRegion& region : regions) push_region(list, region);
    return list;
}

std::vector<CorruptRegion> joined(std::vector<CorruptRegion> a, const std::vector<CorruptRegion>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(RegionListTest, KeepsFileOrderAcrossBlocks) {
    // Past the first blocks and past several of the largest ones.
    for (size_t count : {0, 1, 4, 5, 100, 10000}) {
        const auto regions = apart(60, count);
        const RegionList list = list_of(regions);
        EXPECT_EQ(list.size(), count);
        EXPECT_EQ(std::vector<CorruptRegion>(list), regions) << count;
        EXPECT_EQ(RegionList(list), list);
        if (count > 0) {
            EXPECT_EQ(list.front(), regions.front());
            EXPECT_EQ(list.back(), regions.back());
        }
    }
}

TEST(RegionListTest, PushRegionsMovesEverythingAndMergesTheSeam) {
    // Short lists are copied, long ones hand over their blocks; either way the first region of
    // the second list merges into the last of the first when it continues it.
    for (size_t count : {1, 3, 3000, 20000}) {
        for (bool seam_merges : {false, true}) {
            auto head = apart(60, 2500);
            auto tail = apart(100000, count);
            const CorruptRegion last = head.back();
            if (seam_merges) tail.front() = {last.pattern, last.offset + last.length, 7};
            auto expected = joined(head, std::vector(tail.begin() + (seam_merges ? 1 : 0), tail.end()));
            if (seam_merges) expected[head.size() - 1].length += 7;

            RegionList into = list_of(head);
            RegionList more = list_of(tail);
            push_regions(into, std::move(more));
            EXPECT_EQ(std::vector<CorruptRegion>(into), expected) << count << " " << seam_merges;
            EXPECT_EQ(into.size(), expected.size());
            EXPECT_TRUE(more.empty());
            EXPECT_EQ(more.begin(), more.end());
            // The list stays usable after its blocks changed hands.
            push_region(into, {P::ZeroFilled{}, 1000000, 1});
            EXPECT_EQ(into.back().offset, 1000000u);
        }
    }
    RegionList empty;
    push_regions(empty, list_of(apart(60, 3000)));
    EXPECT_EQ(std::vector<CorruptRegion>(empty), apart(60, 3000));
}

TEST(RegionListTest, PopFrontUntilEmpty) {
    const auto regions = apart(60, 9);
    RegionList list = list_of(regions);
    for (size_t i = 0; i < regions.size(); ++i) {
        EXPECT_EQ(list.front(), regions[i]);
        list.pop_front();
    }
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.begin(), list.end());
}

}  // namespace
}  // namespace kro::verify
