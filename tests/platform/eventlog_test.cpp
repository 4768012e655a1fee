#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/event_log.h"
#include "support/temp_dir.h"

namespace {

BOOL Report(WORD type, DWORD id, std::vector<LPCSTR> strings, DWORD dataSize = 0, const void* data = nullptr)
{
    HANDLE source = RegisterEventSourceA(nullptr, "Dorvane");
    if (!source) return FALSE;
    BOOL reported = ReportEventA(source, type, 0, id, nullptr, static_cast<WORD>(strings.size()), dataSize,
                                 strings.data(), const_cast<void*>(data));
    EXPECT_TRUE(DeregisterEventSource(source));
    return reported;
}

mode_t Mode(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

}  // namespace

TEST(EventLog, RecordIsOneJsonLineInAPrivateFile)
{
    dvtest::StateDir state;
    const BYTE data[] = {0x00, 0x7f, 0xab};
    ASSERT_TRUE(Report(EVENTLOG_WARNING_TYPE, 0x8C00000C, {"1", "127.0.0.1"}, sizeof data, data));
    ASSERT_TRUE(Report(EVENTLOG_SUCCESS, 0x00000001, {}));

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].source, "Dorvane");
    EXPECT_EQ(records[0].type, "warning");
    EXPECT_EQ(records[0].id, "0x8C00000C");
    EXPECT_EQ(records[0].category, 0);
    EXPECT_EQ(records[0].strings, (std::vector<std::string>{"1", "127.0.0.1"}));
    EXPECT_EQ(records[0].data, "007fab");
    EXPECT_EQ(records[0].time.size(), 24u) << records[0].time;  // 2024-03-09T19:35:20.123Z
    EXPECT_EQ(records[0].time.back(), 'Z');
    EXPECT_EQ(records[1].type, "success");
    EXPECT_TRUE(records[1].strings.empty());
    EXPECT_EQ(records[1].data, "");

    EXPECT_EQ(Mode(state.file("eventlog")), 0700u);
    EXPECT_EQ(Mode(state.file("eventlog/Application.jsonl")), 0600u);
}

TEST(EventLog, AnyBytesInStringsGiveValidJson)
{
    dvtest::StateDir state;
    const char controls[] = "tab\there \"quoted\" back\\slash\r\n\x01\x1f\x7f";
    const char utf8[] = "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80";
    const char notUtf8[] = "caf\xe9 \xc3 \xed\xa0\x80 \xc0\xaf \xff";
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x4C000005, {controls, utf8, notUtf8}));

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].strings.size(), 3u);
    EXPECT_EQ(records[0].strings[0], controls);
    EXPECT_EQ(records[0].strings[1], utf8);
    // Each byte outside a valid UTF-8 sequence becomes U+FFFD.
    const std::string replaced = "\xef\xbf\xbd";
    EXPECT_EQ(records[0].strings[2], "caf" + replaced + " " + replaced + " " + replaced + replaced + replaced + " " +
                                         replaced + replaced + " " + replaced);
}

TEST(EventLog, LogMovedAwayIsStartedAgainAtItsPath)
{
    dvtest::StateDir state;
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x4C000005, {"before"}));
    std::filesystem::rename(state.file("eventlog/Application.jsonl"), state.file("eventlog/Application.jsonl.1"));
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x4C000005, {"after"}));

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"after"});
}

TEST(EventLog, ConcurrentWritersNeverInterleave)
{
    dvtest::StateDir state;
    constexpr int kThreads = 8;
    constexpr int kEventsPerThread = 100;
    // Long enough that a record spans several pipe-sized chunks.
    const std::string longText(6000, 'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &longText] {
            std::string tag = "writer " + std::to_string(t);
            for (int i = 0; i < kEventsPerThread; ++i) {
                EXPECT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x4C000005, {tag.c_str(), longText.c_str()}));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();

    std::vector<std::string> lines = dvtest::ReadEventLogLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEventsPerThread));
    std::vector<int> perWriter(kThreads);
    for (const std::string& line : lines) {
        dvtest::EventRecord record;
        ASSERT_TRUE(dvtest::ParseEventRecord(line, record)) << line.substr(0, 200);
        ASSERT_EQ(record.strings.size(), 2u);
        EXPECT_EQ(record.strings[1], longText);
        ++perWriter[std::stoi(record.strings[0].substr(7))];
    }
    for (int count : perWriter) EXPECT_EQ(count, kEventsPerThread);
}

TEST(EventLog, UnusableLogFolderFailsWithItsErrorCode)
{
    dvtest::StateDir state;
    std::ofstream(state.file("eventlog")) << "not a folder";
    SetLastError(0);
    EXPECT_EQ(RegisterEventSourceA(nullptr, "Dorvane"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST(EventLog, FailedWriteFailsTheReport)
{
    dvtest::StateDir state;
    std::filesystem::create_directory(state.file("eventlog"));
    std::filesystem::create_symlink("/dev/full", state.file("eventlog/Application.jsonl"));
    HANDLE source = RegisterEventSourceA(nullptr, "Dorvane");
    ASSERT_NE(source, nullptr);
    LPCSTR strings[] = {"lost"};
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0xCC000006, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_TRUE(DeregisterEventSource(source));
}

TEST(EventLog, RejectsWhatItCannotWrite)
{
    dvtest::StateDir state;
    EXPECT_EQ(RegisterEventSourceA("\\\\OTHER", "Dorvane"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReportEventA(nullptr, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    HANDLE source = RegisterEventSourceA(nullptr, "Dorvane");
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_TRUE(dvtest::ReadEventLogLines().empty());
}
