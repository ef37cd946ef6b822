#pragma once
// The processors this process may run on, and how many of them it may keep
// busy at once.
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace vesk {

// Processor numbers a cpu_set_t can hold.
inline constexpr size_t CPU_SET_LIMIT = 1024;

// The processors in this process's affinity mask, in ascending order; empty
// when the mask cannot be read.
std::vector<size_t> allowed_processors();

// Whole processors granted by a cgroup v2 "cpu.max" text ("max 100000" or
// "<quota> <period>"), at least 1; none when unlimited or unreadable.
std::optional<size_t> cgroup_v2_quota(std::string_view cpu_max);
// The same for cgroup v1's cpu.cfs_quota_us and cpu.cfs_period_us texts; a
// negative quota is unlimited.
std::optional<size_t> cgroup_v1_quota(std::string_view quota_us, std::string_view period_us);

// The tightest CPU quota along this process's control group and its
// ancestors (cgroup v2, else v1); none when no quota applies.
std::optional<size_t> cgroup_cpu_quota();

// Processors this process may use: the control group's CPU quota when one
// applies, else the affinity mask's count (0 when unreadable), else the
// online count (not positive when unknown); at least 1.
size_t usable_processor_count(std::optional<size_t> cgroup_quota, size_t affinity_count, long online_count);
// The same for this process as it runs now.
size_t usable_processor_count();

}  // namespace vesk
