#include "base/parallel/ordered_collector.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/parallel/lowest_error.hpp"
#include "base/parallel/thread_scope.hpp"

namespace kro::base {
namespace {

using Collector = OrderedCollector<std::string>;

// Each row files outcomes in its own arrival order; ok values are "v<i>" and go to the collector,
// errors "e<i>" to the stage's lowest error, as a stage's workers file them.
struct Arrival {
    uint64_t index;
    bool ok;
};

TEST(OrderedCollectorTest, HandsValuesOnInIndexOrderAndKeepsTheLowestError) {
    struct Case {
        const char* name;
        std::vector<Arrival> arrivals;
        std::vector<uint64_t> handed;
        std::optional<std::string> error;
    };
    const std::vector<Case> cases = {
        {"InOrder", {{0, true}, {1, true}, {2, true}}, {0, 1, 2}, std::nullopt},
        {"Reversed", {{2, true}, {1, true}, {0, true}}, {0, 1, 2}, std::nullopt},
        {"ErrorStopsWhatFollows", {{2, true}, {1, false}, {0, true}}, {0}, "e1"},
        {"LowerErrorReplacesHigher", {{3, false}, {1, false}, {0, true}, {2, true}}, {0}, "e1"},
        {"HigherErrorIsDropped", {{1, false}, {3, false}, {0, true}}, {0}, "e1"},
        {"ErrorAtZeroHandsNothing", {{1, true}, {0, false}}, {}, "e0"},
        {"ValuesBeforeTheErrorStillFlow", {{0, true}, {3, false}, {2, true}, {1, true}}, {0, 1, 2}, "e3"},
    };
    for (const Case& c : cases) {
        Collector collector;
        LowestError<std::string> lowest;
        std::vector<uint64_t> handed;
        for (const Arrival& a : c.arrivals) {
            const std::string text = (a.ok ? "v" : "e") + std::to_string(a.index);
            if (a.ok) {
                collector.put(a.index, text, [&](uint64_t index, std::string value) {
                    EXPECT_EQ(value, "v" + std::to_string(index)) << c.name;
                    handed.push_back(index);
                });
            } else {
                lowest.record(a.index, text);
            }
        }
        EXPECT_EQ(handed, c.handed) << c.name;
        EXPECT_EQ(collector.next(), c.handed.size()) << c.name;
        EXPECT_EQ(lowest.take(), c.error) << c.name;
    }
}

TEST(LowestErrorTest, ManyThreadsKeepTheLowestIndex) {
    LowestError<uint64_t> lowest;
    {
        ThreadScope scope;
        for (uint64_t t = 0; t < 8; ++t) {
            ASSERT_TRUE(scope.spawn([&lowest, t] {
                for (uint64_t i = 1000; i-- > 0;) {
                    if (i % 8 == t) lowest.record(i + 5, i + 5);
                }
            }));
        }
    }
    EXPECT_TRUE(lowest.fails_at_or_below(5));
    EXPECT_FALSE(lowest.fails_at_or_below(4));
    EXPECT_EQ(lowest.index(), 5u);
    EXPECT_EQ(lowest.take(), 5u);
}

}  // namespace
}  // namespace kro::base
