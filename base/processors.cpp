#include "base/processors.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace vesk {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

template <class I>
std::optional<I> parse_int(std::string_view s) {
    s = trim(s);
    I v{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<size_t> whole_processors(uint64_t quota, uint64_t period) {
    if (period == 0) return std::nullopt;
    return std::max<uint64_t>(1, quota / period);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == sep) {
            out.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

bool has_item(std::string_view list, std::string_view item) {
    auto items = split(list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// A cgroup hierarchy: where it is mounted, and the process's group in it.
struct Hierarchy {
    std::string mount_point;
    std::string mount_root;
    std::string group;
};

// v2 when `v1_controller` is empty, else the v1 hierarchy of that controller.
std::optional<Hierarchy> find_hierarchy(std::string_view v1_controller) {
    auto groups = read_file("/proc/self/cgroup");
    auto mounts = read_file("/proc/self/mountinfo");
    if (!groups || !mounts) return std::nullopt;
    Hierarchy h;
    bool found = false;
    for (std::string_view line : split(*groups, '\n')) {
        auto f = split(line, ':');
        if (f.size() < 3) continue;
        bool match = v1_controller.empty() ? f[0] == "0" && f[1].empty() : has_item(f[1], v1_controller);
        if (!match) continue;
        // The path may itself hold ':'.
        h.group = std::string(line.substr(f[0].size() + f[1].size() + 2));
        found = true;
        break;
    }
    if (!found) return std::nullopt;
    for (std::string_view line : split(*mounts, '\n')) {
        size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        auto pre = split(line.substr(0, dash), ' ');
        auto post = split(line.substr(dash + 3), ' ');
        if (pre.size() < 5 || post.size() < 3) continue;
        bool match = v1_controller.empty() ? post[0] == "cgroup2"
                                           : post[0] == "cgroup" && has_item(post[2], v1_controller);
        if (!match) continue;
        h.mount_root = std::string(pre[3]);
        h.mount_point = std::string(pre[4]);
        return h;
    }
    return std::nullopt;
}

// The smallest quota that `read_quota` finds in the group's directory and
// each of its ancestors up to the mount point.
template <class ReadQuota>
std::optional<size_t> tightest_quota(const Hierarchy& h, ReadQuota&& read_quota) {
    std::string rel = h.group;
    if (h.mount_root != "/" && rel.starts_with(h.mount_root)) rel = rel.substr(h.mount_root.size());
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    std::optional<size_t> best;
    while (true) {
        if (auto q = read_quota(h.mount_point + rel)) best = best ? std::min(*best, *q) : *q;
        if (rel.empty()) break;
        size_t slash = rel.rfind('/');
        rel = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    }
    return best;
}

}  // namespace

std::vector<size_t> allowed_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<size_t> out;
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return out;
    for (size_t p = 0; p < CPU_SET_LIMIT && p < static_cast<size_t>(CPU_SETSIZE); ++p) {
        if (CPU_ISSET(p, &set)) out.push_back(p);
    }
    return out;
}

std::optional<size_t> cgroup_v2_quota(std::string_view cpu_max) {
    auto f = split(trim(cpu_max), ' ');
    if (f.size() != 2 || f[0] == "max") return std::nullopt;
    auto quota = parse_int<uint64_t>(f[0]);
    auto period = parse_int<uint64_t>(f[1]);
    if (!quota || !period) return std::nullopt;
    return whole_processors(*quota, *period);
}

std::optional<size_t> cgroup_v1_quota(std::string_view quota_us, std::string_view period_us) {
    auto quota = parse_int<int64_t>(quota_us);
    auto period = parse_int<int64_t>(period_us);
    if (!quota || !period || *quota < 0 || *period <= 0) return std::nullopt;
    return whole_processors(static_cast<uint64_t>(*quota), static_cast<uint64_t>(*period));
}

std::optional<size_t> cgroup_cpu_quota() {
    if (auto v2 = find_hierarchy("")) {
        auto q = tightest_quota(*v2, [](const std::string& dir) -> std::optional<size_t> {
            auto text = read_file(dir + "/cpu.max");
            return text ? cgroup_v2_quota(*text) : std::nullopt;
        });
        if (q) return q;
    }
    if (auto v1 = find_hierarchy("cpu")) {
        return tightest_quota(*v1, [](const std::string& dir) -> std::optional<size_t> {
            auto quota = read_file(dir + "/cpu.cfs_quota_us");
            auto period = read_file(dir + "/cpu.cfs_period_us");
            return quota && period ? cgroup_v1_quota(*quota, *period) : std::nullopt;
        });
    }
    return std::nullopt;
}

size_t usable_processor_count(std::optional<size_t> cgroup_quota, size_t affinity_count, long online_count) {
    size_t count = 0;
    if (cgroup_quota) {
        count = *cgroup_quota;
    } else if (affinity_count > 0) {
        count = affinity_count;
    } else if (online_count > 0) {
        count = static_cast<size_t>(online_count);
    }
    return std::max<size_t>(count, 1);
}

size_t usable_processor_count() {
    return usable_processor_count(cgroup_cpu_quota(), allowed_processors().size(), sysconf(_SC_NPROCESSORS_ONLN));
}

}  // namespace vesk
