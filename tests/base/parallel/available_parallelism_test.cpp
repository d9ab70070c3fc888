#include "base/parallel/available_parallelism.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kro::base {
namespace {

TEST(AvailableParallelismTest, IsKnownAndNeverAboveTheOnlineProcessors) {
    const auto n = available_parallelism();
    ASSERT_TRUE(n.has_value());
    EXPECT_GE(*n, 1u);
    EXPECT_LE(*n, static_cast<size_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
}

constexpr auto V1 = CgroupVersion::V1;
constexpr auto V2 = CgroupVersion::V2;

TEST(AvailableParallelismTest, FindsTheOwnCgroupInProcSelfCgroup) {
    const struct {
        std::string_view name;
        std::string_view text;
        std::optional<std::string> path;  // none: no cgroup that can hold a CPU quota
        CgroupVersion version = V2;
    } cases[] = {
        {"unified hierarchy", "0::/user.slice/session-2.scope\n", "/user.slice/session-2.scope"},
        {"root of the unified hierarchy", "0::/\n", "/"},
        {"v1 cpu controller among others",
         "12:pids:/a\n11:memory:/b\n4:cpu,cpuacct:/docker/c\n1:name=systemd:/d\n", "/docker/c", V1},
        {"v1 cpu controller listed second", "7:cpuacct,cpu:/e\n", "/e", V1},
        {"first usable line wins: v1 before the unified line", "4:cpu,cpuacct:/f\n0::/g\n", "/f", V1},
        {"first usable line wins: unified before v1", "0::/g\n4:cpu,cpuacct:/f\n", "/g"},
        {"path holding colons", "0::/a:b:c\n", "/a:b:c"},
        {"malformed lines are passed over", "garbage\n3:cpu\n\n0::/h\n", "/h"},
        {"no cpu controller: cpuacct and cpuset are others", "3:cpuacct:/a\n2:cpuset:/b\n", std::nullopt},
        {"named hierarchy only", "1:name=systemd:/x\n", std::nullopt},
        {"empty file", "", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto own = parse_own_cgroup(c.text);
        if (!c.path) {
            EXPECT_FALSE(own.has_value()) << c.name;
            continue;
        }
        ASSERT_TRUE(own.has_value()) << c.name;
        EXPECT_EQ(own->path, *c.path) << c.name;
        EXPECT_EQ(own->version, c.version) << c.name;
    }
}

// Lines of /proc/self/mountinfo as the kernel writes them: optional fields (none, one or
// several) stand before the "-".
constexpr std::string_view ROOT_FS =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n";
constexpr std::string_view CGROUP2 =
    "36 25 0:31 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr std::string_view V1_MEMORY =
    "34 25 0:29 / /sys/fs/cgroup/memory rw,nosuid shared:15 - cgroup cgroup rw,memory\n";
constexpr std::string_view V1_CPU =
    "33 25 0:28 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:14 master:2 - cgroup cgroup rw,cpu,cpuacct\n";
// A container that sees only its own subtree of the hierarchy.
constexpr std::string_view CONTAINER_CGROUP2 =
    "500 400 0:31 /docker/abc /sys/fs/cgroup ro,nosuid - cgroup2 cgroup2 rw\n";

std::string lines(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const auto part : parts) out += part;
    return out;
}

TEST(AvailableParallelismTest, FindsWhereTheCgroupIsMounted) {
    const struct {
        std::string_view name;
        std::string mountinfo;
        OwnCgroup own;
        std::optional<CgroupMount> mount;
    } cases[] = {
        {"v2 on the host",
         lines({ROOT_FS, V1_MEMORY, CGROUP2}),
         {"/user.slice", V2},
         CgroupMount{"/sys/fs/cgroup", "/user.slice"}},
        {"v2 root cgroup", lines({CGROUP2}), {"/", V2}, CgroupMount{"/sys/fs/cgroup", ""}},
        {"v1 takes the mount with the cpu option",
         lines({ROOT_FS, CGROUP2, V1_MEMORY, V1_CPU}),
         {"/user.slice", V1},
         CgroupMount{"/sys/fs/cgroup/cpu,cpuacct", "/user.slice"}},
        {"v1 without a cpu mount", lines({ROOT_FS, CGROUP2, V1_MEMORY}), {"/user.slice", V1}, std::nullopt},
        {"v2 without a cgroup2 mount", lines({ROOT_FS, V1_CPU}), {"/user.slice", V2}, std::nullopt},
        {"container subtree cut off the path",
         lines({CONTAINER_CGROUP2}),
         {"/docker/abc/inner", V2},
         CgroupMount{"/sys/fs/cgroup", "/inner"}},
        {"container subtree is the cgroup",
         lines({CONTAINER_CGROUP2}),
         {"/docker/abc", V2},
         CgroupMount{"/sys/fs/cgroup", ""}},
        {"a subtree that does not hold the cgroup is passed over",
         lines({CONTAINER_CGROUP2, CGROUP2}),
         {"/system.slice/x", V2},
         CgroupMount{"/sys/fs/cgroup", "/system.slice/x"}},
        {"a root holds whole components only",
         lines({CONTAINER_CGROUP2}),
         {"/docker/abcdef", V2},
         std::nullopt},
        {"several cgroup2 mounts: the first that holds it",
         lines({CGROUP2, CONTAINER_CGROUP2}),
         {"/docker/abc/inner", V2},
         CgroupMount{"/sys/fs/cgroup", "/docker/abc/inner"}},
        {"malformed lines are passed over",
         lines({"garbage\n", "1 2 3 / /x rw\n", "1 2 3 / /x rw - cgroup2\n", "- cgroup2 cgroup2 rw\n", "\n",
                CGROUP2}),
         {"/a", V2},
         CgroupMount{"/sys/fs/cgroup", "/a"}},
        {"empty file", "", {"/a", V2}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto mount = parse_cgroup_mount(c.mountinfo, c.own);
        if (!c.mount) {
            EXPECT_FALSE(mount.has_value()) << c.name << ": " << mount->mount_point;
            continue;
        }
        ASSERT_TRUE(mount.has_value()) << c.name;
        EXPECT_EQ(mount->mount_point, c.mount->mount_point) << c.name;
        EXPECT_EQ(mount->relative, c.mount->relative) << c.name;
    }
}

TEST(AvailableParallelismTest, WalksFromTheCgroupUpToTheMountPoint) {
    using Dirs = std::vector<std::string>;
    EXPECT_EQ(cgroup_dirs({"/sys/fs/cgroup", "/a/b.slice/c"}),
              (Dirs{"/sys/fs/cgroup/a/b.slice/c", "/sys/fs/cgroup/a/b.slice", "/sys/fs/cgroup/a",
                    "/sys/fs/cgroup"}));
    EXPECT_EQ(cgroup_dirs({"/sys/fs/cgroup", ""}), (Dirs{"/sys/fs/cgroup"}));
}

TEST(AvailableParallelismTest, ReadsQuotasInWholeProcessors) {
    const struct {
        std::string_view cpu_max;
        std::optional<size_t> processors;
    } v2[] = {
        {"max 100000\n", std::nullopt},
        {"200000 100000\n", 2},
        {"150000 100000\n", 1},  // rounded down
        {"50000 100000\n", 1},   // below one processor: still one
        {"0 100000\n", 1},
        {"400000 100000", 4},  // no newline
        {"max\n", std::nullopt},
        {"", std::nullopt},
        {"abc 100000\n", std::nullopt},
        {"100000 0\n", std::nullopt},
        {"-1 100000\n", std::nullopt},
        {"100000 100000 5\n", std::nullopt},
    };
    for (const auto& c : v2) EXPECT_EQ(cpu_max_quota(c.cpu_max), c.processors) << '"' << c.cpu_max << '"';

    const struct {
        std::string_view quota;
        std::string_view period;
        std::optional<size_t> processors;
    } v1[] = {
        {"-1\n", "100000\n", std::nullopt},  // no limit
        {"300000\n", "100000\n", 3},        {"50000\n", "100000\n", 1},
        {"x\n", "100000\n", std::nullopt},  {"100000\n", "0\n", std::nullopt},
        {"100000\n", "\n", std::nullopt},
    };
    for (const auto& c : v1)
        EXPECT_EQ(cfs_quota(c.quota, c.period), c.processors) << c.quota << " / " << c.period;
}

}  // namespace
}  // namespace kro::base
