#include "verify/verify_report.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "base/errors/error.hpp"
#include "verify/verify_error.hpp"

namespace kro::verify {
namespace {

using format::FileId;
using format::FormatVersion;

FileId id_with(uint8_t first) {
    FileId id;
    id.bytes[0] = first;
    return id;
}

CorruptionReport report_with(std::vector<uint64_t> lengths, uint64_t expected_len, uint64_t actual_len) {
    CorruptionReport report{};
    uint64_t offset = 60;
    for (uint64_t length : lengths) {
        report.regions.push_back(CorruptRegion{CorruptionPattern::ZeroFilled{}, offset, length});
        offset += length + 1;
    }
    report.expected_len = expected_len;
    report.actual_len = actual_len;
    return report;
}

TEST(VerifyCorruptionReportTest, BytesPercentAndIntact) {
    const auto damaged = report_with({10, 30}, 1000, 800);
    EXPECT_EQ(damaged.corrupted_bytes(), 40u);
    EXPECT_DOUBLE_EQ(damaged.percent_corrupted(), 4.0);
    EXPECT_FALSE(damaged.is_intact());

    EXPECT_EQ(report_with({5, 7}, 0, 0).percent_corrupted(), 0.0);
    EXPECT_TRUE(report_with({}, 100, 100).is_intact());
    EXPECT_FALSE(report_with({}, 100, 99).is_intact());
    EXPECT_FALSE(report_with({1}, 100, 100).is_intact());
    // Division first, then the factor 100.
    EXPECT_EQ(report_with({1}, 3, 3).percent_corrupted(), 1.0 / 3.0 * 100.0);
    // The sum wraps rather than saturates.
    EXPECT_EQ(report_with({UINT64_MAX, 2}, 10, 10).corrupted_bytes(), 1u);
}

TEST(VerifyIssueTest, ClassesFollowTheVariant) {
    const std::filesystem::path p = "p";
    const format::HeaderError header_error(format::HeaderError::Truncated{10});
    const std::vector<std::pair<Issue, IssueClass>> cases = {
        {Issue::InvalidPathLayout{p}, IssueClass::Error},
        {Issue::HeaderCorrupted{p, header_error}, IssueClass::Corruption},
        {Issue::FileSizeMismatch{p, 1, 2}, IssueClass::Corruption},
        {Issue::ContentCorrupted{CorruptionReport{}}, IssueClass::Corruption},
        {Issue::ParentHashNotFound{p, p, FileId{}}, IssueClass::Corruption},
        {Issue::ChainTipNotFound{p, p, FileId{}}, IssueClass::Corruption},
        {Issue::ChainFormatMismatch{p, p, FileId{}, FormatVersion::V3, FormatVersion::V2}, IssueClass::Error},
        {Issue::FileNotReferenced{p}, IssueClass::Orphan},
        {Issue::RootHashInvalid{p, {}, {}}, IssueClass::Corruption},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].first.index(), i);
        EXPECT_EQ(cases[i].first.issue_class(), cases[i].second) << i;
    }
    EXPECT_EQ(fmt::format("{}|{}|{}", IssueClass::Error, IssueClass::Corruption, IssueClass::Orphan),
              "ERROR|CORRUPTION|ORPHAN");
    EXPECT_EQ(fmt::format("[{:>12}]", IssueClass::Orphan), "[ORPHAN]");
}

TEST(VerifyReportCollectorTest, ParentsCountOnce) {
    ReportCollector collector;
    FileReport with_parent;
    with_parent.parent = id_with(7);
    collector.push(with_parent);
    collector.push(with_parent);
    collector.push(FileReport{});
    EXPECT_EQ(collector.reports.size(), 3u);
    EXPECT_EQ(collector.referenced_parents.size(), 1u);
    EXPECT_TRUE(collector.referenced_parents.contains(id_with(7)));
}

TEST(VerifyReportTest, MissingTip) {
    VersionMap versions;
    EXPECT_FALSE(is_missing_tip(versions, FileId{}));
    EXPECT_TRUE(is_missing_tip(versions, id_with(1)));
    versions[id_with(1)] = std::nullopt;  // present with an unreadable header still counts
    EXPECT_FALSE(is_missing_tip(versions, id_with(1)));
}

TEST(VerifyErrorTest, DisplaysSourcesAndDebug) {
    const VerifyError not_a_store(VerifyErrorKind::NotAStore{"/data/st\xff"});
    EXPECT_EQ(not_a_store.message(),
              "/data/st\xEF\xBF\xBD is not a valid KRO store (missing .metadata/roots directory)");
    EXPECT_EQ(not_a_store.source(), nullptr);
    EXPECT_EQ(not_a_store.debug(),
              "VerifyError { inner: VerifyErrorInner { kind: NotAStore { root: \"/data/st\xEF\xBF\xBD\" }, "
              "backtrace: <disabled> } }");

    const auto io = VerifyError::io("opening a data file", "/s/ab/cd", base::IoError::from_errno(ENOENT));
    EXPECT_EQ(io.message(), "opening a data file at /s/ab/cd");
    ASSERT_NE(io.source(), nullptr);
    EXPECT_EQ(io.source()->message(), "No such file or directory");
    EXPECT_EQ(base::error_chain(io), "opening a data file at /s/ab/cd: No such file or directory");
    EXPECT_EQ(io.debug(),
              "VerifyError { inner: VerifyErrorInner { kind: Io { action: \"opening a data file\", path: "
              "\"/s/ab/cd\", source: Os { code: 2, message: \"No such file or directory\" } }, backtrace: "
              "<disabled> } }");

    const VerifyError nesting(VerifyErrorKind::ExcessiveNesting{"s/a/b"});
    EXPECT_EQ(nesting.message(), "store directories nest more than 64 levels deep at s/a/b");
    EXPECT_EQ(nesting.source(), nullptr);
    EXPECT_EQ(
        nesting.debug(),
        "VerifyError { inner: VerifyErrorInner { kind: ExcessiveNesting { path: \"s/a/b\" }, backtrace: "
        "<disabled> } }");
}

}  // namespace
}  // namespace kro::verify
