#include "verify/verify_report.hpp"

#include <algorithm>
#include <array>

namespace kro::verify {

uint64_t CorruptionReport::corrupted_bytes() const {
    uint64_t sum = 0;
    for (const CorruptRegion& region : regions) sum += region.length;  // unsigned: wraps
    return sum;
}

double CorruptionReport::percent_corrupted() const {
    const uint64_t larger = std::max(expected_len, actual_len);
    if (larger == 0) return 0.0;
    return static_cast<double>(corrupted_bytes()) / static_cast<double>(larger) * 100.0;
}

bool CorruptionReport::is_intact() const {
    return corrupted_bytes() == 0 && expected_len == actual_len;
}

std::string_view to_string(IssueClass issue_class) {
    switch (issue_class) {
        case IssueClass::Error:
            return "ERROR";
        case IssueClass::Corruption:
            return "CORRUPTION";
        case IssueClass::Orphan:
            return "ORPHAN";
    }
    return "CORRUPTION";
}

IssueClass Issue::issue_class() const {
    static constexpr std::array<IssueClass, std::variant_size_v<Value>> CLASSES = {
        IssueClass::Error,      IssueClass::Corruption, IssueClass::Corruption,
        IssueClass::Corruption, IssueClass::Corruption, IssueClass::Corruption,
        IssueClass::Error,      IssueClass::Orphan,     IssueClass::Corruption,
    };
    return CLASSES[value.index()];
}

void ReportCollector::reserve(size_t files) {
    reports.reserve(files);
    referenced_parents.reserve(files);
}

void ReportCollector::push(FileReport report) {
    if (report.parent) referenced_parents.insert(*report.parent);
    reports.push_back(std::move(report));
}

bool is_missing_tip(const VersionMap& versions, const format::FileId& id) {
    return !id.is_zero() && !versions.contains(id);
}

}  // namespace kro::verify
