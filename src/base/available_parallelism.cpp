#include "base/available_parallelism.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.hpp"

namespace kro::base {
namespace {

constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::optional<long long> parse_number(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

enum class CgroupVersion { V1, V2 };

struct CgroupDir {
    std::string mount_point;
    std::string relative;  // the process's cgroup below the mount point, starting with "/" or empty
};

// The first cgroup line that is either the unified (v2) hierarchy or a v1 hierarchy with the
// cpu controller, as in "1:cpu,cpuacct:/user.slice" or "0::/user.slice".
std::optional<std::pair<std::string, CgroupVersion>> own_cgroup() {
    const auto text = read_text("/proc/self/cgroup");
    if (!text) return std::nullopt;
    for (const auto line : split(*text, '\n')) {
        const auto fields = split(line, ':');
        if (fields.size() < 3) continue;
        const std::string path(line.substr(fields[0].size() + fields[1].size() + 2));
        if (fields[1].empty()) return std::pair{path, CgroupVersion::V2};
        const auto controllers = split(fields[1], ',');
        if (std::ranges::find(controllers, std::string_view("cpu")) != controllers.end()) {
            return std::pair{path, CgroupVersion::V1};
        }
    }
    return std::nullopt;
}

// Finds where the hierarchy is mounted; a container may mount only a subtree of it, whose root
// is then cut off the process's cgroup path.
std::optional<CgroupDir> mounted_cgroup(const std::string& cgroup_path, CgroupVersion version) {
    const auto text = read_text("/proc/self/mountinfo");
    if (!text) return std::nullopt;
    for (const auto line : split(*text, '\n')) {
        const auto fields = split(line, ' ');
        const auto dash = std::ranges::find(fields, std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view fs_type = *(dash + 1);
        const std::string_view super_options = *(dash + 3);
        if (version == CgroupVersion::V2 && fs_type != "cgroup2") continue;
        if (version == CgroupVersion::V1) {
            const auto options = split(super_options, ',');
            if (fs_type != "cgroup" || std::ranges::find(options, std::string_view("cpu")) == options.end()) {
                continue;
            }
        }
        std::string_view root = fields[3];
        std::string_view relative = cgroup_path;
        if (root != "/") {
            if (!relative.starts_with(root)) continue;
            relative.remove_prefix(root.size());
        }
        if (relative == "/") relative = {};
        return CgroupDir{std::string(fields[4]), std::string(relative)};
    }
    return std::nullopt;
}

// quota / period in whole processors for one cgroup directory, or unlimited.
size_t quota_at(const std::string& dir, CgroupVersion version) {
    long long quota = -1;
    long long period = 0;
    if (version == CgroupVersion::V2) {
        const auto text = read_text(dir + "/cpu.max");
        if (!text) return kUnlimited;
        const auto parts = split(*text, ' ');
        if (parts.size() != 2 || parts[0] == "max") return kUnlimited;
        quota = parse_number(parts[0]).value_or(-1);
        period = parse_number(parts[1]).value_or(0);
    } else {
        const auto quota_text = read_text(dir + "/cpu.cfs_quota_us");
        const auto period_text = read_text(dir + "/cpu.cfs_period_us");
        if (!quota_text || !period_text) return kUnlimited;
        quota = parse_number(*quota_text).value_or(-1);
        period = parse_number(*period_text).value_or(0);
    }
    if (quota < 0 || period <= 0) return kUnlimited;
    return static_cast<size_t>(quota / period);
}

// The tightest quota on the way from the process's cgroup up to the hierarchy's root.
size_t cgroup_quota() {
    const auto own = own_cgroup();
    if (!own) return kUnlimited;
    const auto mounted = mounted_cgroup(own->first, own->second);
    if (!mounted) return kUnlimited;
    size_t quota = kUnlimited;
    std::string relative = mounted->relative;
    while (true) {
        quota = std::min(quota, quota_at(mounted->mount_point + relative, own->second));
        if (relative.empty()) break;
        const size_t slash = relative.rfind('/');
        relative.resize(slash == std::string::npos ? 0 : slash);
    }
    return quota;
}

std::optional<size_t> processor_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<size_t>(count);
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<size_t>(online);
    return std::nullopt;
}

}  // namespace

std::optional<size_t> available_parallelism() {
    const auto count = processor_count();
    if (!count) return std::nullopt;
    return std::min(*count, std::max<size_t>(cgroup_quota(), 1));
}

}  // namespace kro::base
