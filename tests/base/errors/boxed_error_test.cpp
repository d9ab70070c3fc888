#include "base/errors/boxed_error.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace kro::base {
namespace {

struct TestKind {
    struct Named {
        std::string name;
    };
    struct Large {
        std::array<char, 256> bytes;
    };
    using Value = std::variant<Named, Large>;
};

class TestError final : public BoxedError<TestKind::Value>, public TestKind {
  public:
    using BoxedError::BoxedError;
    std::string message() const override {
        const auto* named = get_if<Named>();
        return named != nullptr ? named->name : "large";
    }
};

// However large its kinds, an error is a pointer beside the vtable, so results stay small.
static_assert(sizeof(TestError) == 2 * sizeof(void*));

TEST(BoxedErrorTest, CopiesOwnTheirBoxAndKeepKindAndBacktrace) {
    auto original = std::make_unique<TestError>(TestError::Named{"first"});
    const TestError copy = *original;
    EXPECT_NE(&copy.kind(), &original->kind());
    EXPECT_EQ(copy.backtrace().debug(), original->backtrace().debug());
    original.reset();  // the copy must not share what the original frees
    EXPECT_EQ(copy.message(), "first");
    ASSERT_NE(copy.get_if<TestError::Named>(), nullptr);
    EXPECT_EQ(copy.get_if<TestError::Large>(), nullptr);

    TestError assigned(TestError::Large{});
    assigned = copy;
    EXPECT_EQ(assigned.message(), "first");
    EXPECT_NE(&assigned.kind(), &copy.kind());
}

TEST(BoxedErrorTest, MovesHandTheBoxOver) {
    TestError original(TestError::Named{"moved"});
    const auto* box = &original.kind();
    TestError moved = std::move(original);
    EXPECT_EQ(&moved.kind(), box);
    EXPECT_EQ(moved.message(), "moved");
    // A moved-from error can still be copied and assigned to.
    TestError from_empty = original;
    from_empty = moved;
    EXPECT_EQ(from_empty.message(), "moved");
}

}  // namespace
}  // namespace kro::base
