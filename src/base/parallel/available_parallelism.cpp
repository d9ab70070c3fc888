#include "base/parallel/available_parallelism.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/text.hpp"

namespace kro::base {
namespace {

constexpr size_t UNLIMITED = std::numeric_limits<size_t>::max();

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

bool lists(std::string_view comma_separated, std::string_view name) {
    const auto names = split(comma_separated, ',');
    return std::ranges::find(names, name) != names.end();
}

std::optional<size_t> whole_processors(std::optional<long long> quota, std::optional<long long> period) {
    if (!quota || !period || *quota < 0 || *period <= 0) return std::nullopt;
    // A share of one processor still runs one thread.
    return std::max<size_t>(static_cast<size_t>(*quota / *period), 1);
}

// The quota of one cgroup directory, or unlimited when its files are missing or say so.
size_t quota_at(const std::string& dir, CgroupVersion version) {
    if (version == CgroupVersion::V2) {
        const auto text = read_text(dir + "/cpu.max");
        return text ? cpu_max_quota(*text).value_or(UNLIMITED) : UNLIMITED;
    }
    const auto quota = read_text(dir + "/cpu.cfs_quota_us");
    const auto period = read_text(dir + "/cpu.cfs_period_us");
    if (!quota || !period) return UNLIMITED;
    return cfs_quota(*quota, *period).value_or(UNLIMITED);
}

// The tightest quota on the way from the process's cgroup up to the hierarchy's root.
size_t cgroup_quota() {
    const auto cgroup_text = read_text("/proc/self/cgroup");
    if (!cgroup_text) return UNLIMITED;
    const auto own = parse_own_cgroup(*cgroup_text);
    if (!own) return UNLIMITED;
    const auto mountinfo = read_text("/proc/self/mountinfo");
    if (!mountinfo) return UNLIMITED;
    const auto mount = parse_cgroup_mount(*mountinfo, *own);
    if (!mount) return UNLIMITED;
    size_t quota = UNLIMITED;
    for (const std::string& dir : cgroup_dirs(*mount)) quota = std::min(quota, quota_at(dir, own->version));
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

std::optional<OwnCgroup> parse_own_cgroup(std::string_view proc_self_cgroup) {
    for (const auto line : split(proc_self_cgroup, '\n')) {
        const auto fields = split(line, ':');
        if (fields.size() < 3) continue;
        // The path is the rest of the line: it may hold colons itself.
        std::string path(line.substr(fields[0].size() + fields[1].size() + 2));
        if (fields[1].empty()) return OwnCgroup{std::move(path), CgroupVersion::V2};
        if (lists(fields[1], "cpu")) return OwnCgroup{std::move(path), CgroupVersion::V1};
    }
    return std::nullopt;
}

std::optional<CgroupMount> parse_cgroup_mount(std::string_view mountinfo, const OwnCgroup& own) {
    for (const auto line : split(mountinfo, '\n')) {
        // "36 25 0:31 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw": root and mount point are
        // fields 3 and 4; after the "-" come the file-system type, the source and its options.
        const auto fields = split(line, ' ');
        const auto dash = std::ranges::find(fields, std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view fs_type = *(dash + 1);
        const std::string_view super_options = *(dash + 3);
        if (own.version == CgroupVersion::V2 && fs_type != "cgroup2") continue;
        if (own.version == CgroupVersion::V1 && (fs_type != "cgroup" || !lists(super_options, "cpu")))
            continue;
        const std::string_view root = fields[3];
        std::string_view relative = own.path;
        if (root != "/") {
            // The root must hold the cgroup as a whole component: "/a" holds "/a/b", not "/ab".
            if (!relative.starts_with(root)) continue;
            relative.remove_prefix(root.size());
            if (!relative.empty() && relative.front() != '/') continue;
        }
        if (relative == "/") relative = {};
        return CgroupMount{std::string(fields[4]), std::string(relative)};
    }
    return std::nullopt;
}

std::vector<std::string> cgroup_dirs(const CgroupMount& mount) {
    std::vector<std::string> dirs;
    std::string relative = mount.relative;
    while (true) {
        dirs.push_back(mount.mount_point + relative);
        if (relative.empty()) return dirs;
        const size_t slash = relative.rfind('/');
        relative.resize(slash == std::string::npos ? 0 : slash);
    }
}

std::optional<size_t> cpu_max_quota(std::string_view cpu_max) {
    const auto parts = split(cpu_max, ' ');
    if (parts.size() != 2 || parts[0] == "max") return std::nullopt;
    return whole_processors(parse_number(parts[0]), parse_number(parts[1]));
}

std::optional<size_t> cfs_quota(std::string_view quota_us, std::string_view period_us) {
    return whole_processors(parse_number(quota_us), parse_number(period_us));
}

std::optional<size_t> available_parallelism() {
    const auto count = processor_count();
    if (!count) return std::nullopt;
    return std::min(*count, cgroup_quota());
}

}  // namespace kro::base
