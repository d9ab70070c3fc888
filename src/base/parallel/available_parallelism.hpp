#pragma once
// How many threads this process can usefully run at once: the processor count as limited by
// the cgroup CPU quota and the affinity mask, falling back to the online processor count.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kro::base {

// At least 1 when known; nothing when the platform cannot tell.
std::optional<size_t> available_parallelism();

// The quota lookup reads a few files; what it makes of their text is below.

enum class CgroupVersion { V1, V2 };

struct OwnCgroup {
    std::string path;  // the process's cgroup within its hierarchy, as in "/user.slice"
    CgroupVersion version;
};

// From the text of /proc/self/cgroup: the first line that is either the unified (v2) hierarchy
// ("0::/user.slice") or a v1 hierarchy with the cpu controller ("4:cpu,cpuacct:/user.slice").
std::optional<OwnCgroup> parse_own_cgroup(std::string_view proc_self_cgroup);

struct CgroupMount {
    std::string mount_point;
    std::string relative;  // the process's cgroup below the mount point, starting with "/" or empty
};

// From the text of /proc/self/mountinfo: the first mount of the cgroup's hierarchy (cgroup2, or
// cgroup with the cpu option for v1) whose root holds the cgroup. A container may mount only a
// subtree of the hierarchy; that subtree's root is then cut off the cgroup's path.
std::optional<CgroupMount> parse_cgroup_mount(std::string_view mountinfo, const OwnCgroup& own);

// The directories whose quota limits the process: its own cgroup's, then each parent's up to
// the mount point.
std::vector<std::string> cgroup_dirs(const CgroupMount& mount);

// Whole processors that a v2 cpu.max text ("150000 100000") allows, rounded down but at least
// 1; nothing for "max" or text that does not parse.
std::optional<size_t> cpu_max_quota(std::string_view cpu_max);
// The same from the texts of v1's cpu.cfs_quota_us and cpu.cfs_period_us; a negative quota
// ("-1") is no limit.
std::optional<size_t> cfs_quota(std::string_view quota_us, std::string_view period_us);

}  // namespace kro::base
