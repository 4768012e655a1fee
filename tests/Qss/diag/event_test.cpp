#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/event_log.h"
#include "support/qss_diag.h"
#include "support/temp_dir.h"

namespace {

std::string LogEventOnConsole(DWORD id, std::vector<LPCSTR> strings)
{
    testing::internal::CaptureStdout();
    Qss_LogEvent(id, static_cast<WORD>(strings.size()), strings.empty() ? NULL : strings.data(), 0, NULL);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(LogEvent, TypeFollowsTheIdentifiersTopBits)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    LPCSTR text[] = {"qssNewInstance (6276)"};
    Qss_LogEvent(QSS_EVENT_KEEPALIVE_TIMEOUT, 0, NULL, 0, NULL);
    Qss_LogEvent(QSS_EVENT_INTERNAL_ERROR, 1, text, 0, NULL);
    Qss_LogEvent(QSS_EVENT_INSTANCE_RESTORED, 0, NULL, 0, NULL);
    Qss_LogEvent(0x3FFFFFFF, 0, NULL, 0, NULL);

    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].type, "warning");
    EXPECT_EQ(records[1].type, "error");
    EXPECT_EQ(records[1].strings, std::vector<std::string>{"qssNewInstance (6276)"});
    EXPECT_EQ(records[2].type, "information");
    EXPECT_EQ(records[3].type, "success");
    EXPECT_EQ(records[3].id, "0x3FFFFFFF");
}

TEST(LogEvent, InternalErrorNamesTheFunctionAndLine)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    Qss_LogInternalError("qssGetMyKey", 2333);
    std::vector<dvtest::EventRecord> records = dvtest::ReadEventLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, "0xCC000013");
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"qssGetMyKey (2333)"});
    EXPECT_EQ(records[0].data, "");
}

TEST(LogEvent, AnUnusableLogIsReportedOnTheConsoleAndTheProgramGoesOn)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    std::ofstream(state.file("eventlog")) << "not a folder";
    EXPECT_EQ(LogEventOnConsole(QSS_EVENT_SERVICE_REMOVED, {}),
              "Dorvane: Qss_LogEvent (457): RegisterEventSource error (3): \n"
              "The system cannot find the path specified.\r\n\n");
}

TEST(LogEvent, AFailedWriteIsReportedOnTheConsole)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag;
    std::filesystem::create_directory(state.file("eventlog"));
    std::filesystem::create_symlink("/dev/full", state.file("eventlog/Application.jsonl"));
    EXPECT_EQ(LogEventOnConsole(QSS_EVENT_SERVICE_REMOVED, {}),
              "Dorvane: Qss_LogEvent (479): ReportEvent error (112): \n"
              "There is not enough space on the disk.\r\n\n");
}

TEST(ConsoleEcho, PrintsTheEventTextWithItsInsertionStrings)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_CONSOLE);
    qssMessageDll = LoadLibraryA(dvtest::MessageFilePath().c_str());
    ASSERT_NE(qssMessageDll, nullptr);

    EXPECT_EQ(LogEventOnConsole(QSS_EVENT_AM_ATTACHED,
                                {"1", "127.0.0.2", "am-one", "00010203-0405-0607-0809-0a0b0c0d0e0f"}),
              "Dorvane: AM1 (address 127.0.0.2, identity am-one) attached to PVM "
              "{00010203-0405-0607-0809-0a0b0c0d0e0f}.\r\n\n");
    EXPECT_EQ(LogEventOnConsole(QSS_EVENT_SERVICE_STARTED,
                                {"Dorvane Version 7.1.0.0\n Protocol Version 5.0\n UDP Port 4557\n\n"}),
              "Dorvane: The Corvath Arvenna Quorum Service has started.\r\n"
              "Dorvane Version 7.1.0.0\n Protocol Version 5.0\n UDP Port 4557\n\n\r\n\n");
    EXPECT_EQ(dvtest::ReadEventLog().size(), 2u);
}

TEST(ConsoleEcho, WithoutTheMessageFileTheFailureIsPrinted)
{
    dvtest::StateDir state;
    dvtest::DiagScope diag(QSS_TRACE_CONSOLE);
    EXPECT_EQ(LogEventOnConsole(QSS_EVENT_SERVICE_REMOVED, {}),
              "Dorvane: qssTraceEvent (1385): FormatMessage returned 0. Last error = 1813.\n\n");
    EXPECT_EQ(dvtest::ReadEventLog().size(), 1u);
}

TEST(MessageFile, EveryEventHasATextTakingItsInsertionStrings)
{
    struct Event {
        DWORD id;
        int strings;
    };
    const Event events[] = {
        {QSS_EVENT_SERVICE_STARTED, 1},          {QSS_EVENT_SERVICE_STATISTICS, 0},
        {QSS_EVENT_SERVICE_START_FAILED, 0},     {QSS_EVENT_REMOVE_STEP_FAILED, 0},
        {QSS_EVENT_TRACE, 1},                    {QSS_EVENT_ERROR, 1},
        {QSS_EVENT_WIN32_ERROR, 1},              {QSS_EVENT_RELEASE_WHILE_VOTING, 4},
        {QSS_EVENT_RELEASE_NOT_HOLDING, 4},      {QSS_EVENT_QUORUM_RELEASED, 4},
        {QSS_EVENT_KEEPALIVE_TIMEOUT, 5},        {QSS_EVENT_QUORUM_GRANTED, 6},
        {QSS_EVENT_QUORUM_REFUSED_PARTNER_HOLDS, 7}, {QSS_EVENT_INSTANCE_TABLE_FULL, 1},
        {QSS_EVENT_RELEASE_DELETE_FAILED, 5},    {QSS_EVENT_SYSTEM_TOO_OLD, 1},
        {QSS_EVENT_ATTACH_ALREADY_ONLINE, 5},    {QSS_EVENT_INTERNAL_ERROR, 1},
        {QSS_EVENT_GRANT_NOT_PERSISTED, 4},      {QSS_EVENT_RESTORE_FAILED, 1},
        {QSS_EVENT_RESTORE_ENUMERATION_FAILED, 1}, {QSS_EVENT_INSTANCE_RESTORED, 5},
        {QSS_EVENT_INSTALL_NEW_IDENTITY, 0},     {QSS_EVENT_INSTALL_RESET, 0},
        {QSS_EVENT_SERVICE_REMOVED, 0},          {QSS_EVENT_SERVICE_MARKED_FOR_DELETE, 0},
        {QSS_EVENT_AM_ATTACHED, 4},              {QSS_EVENT_AM_DETACHED, 4},
        {QSS_EVENT_INTERRUPTED_GRANT_REMOVED, 2},
    };
    HMODULE messages = LoadLibraryA(dvtest::MessageFilePath().c_str());
    ASSERT_NE(messages, nullptr);
    const char* inserts[] = {"<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>", "<beyond>"};
    for (const Event& event : events) {
        std::vector<const char*> arguments(inserts, inserts + event.strings);
        arguments.push_back(inserts[7]);
        char text[1024];
        ASSERT_NE(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, event.id,
                                 1033, text, sizeof text, reinterpret_cast<va_list*>(arguments.data())),
                  0u)
            << std::hex << event.id;
        std::string expanded(text);
        for (int i = 0; i < event.strings; ++i) {
            EXPECT_NE(expanded.find(inserts[i]), std::string::npos) << std::hex << event.id << ": " << expanded;
        }
        EXPECT_EQ(expanded.find("<beyond>"), std::string::npos) << std::hex << event.id;
        EXPECT_EQ(expanded.substr(expanded.size() - 2), "\r\n");
    }
    EXPECT_TRUE(FreeLibrary(messages));
}

TEST(MessageFile, LoadsByNameFromTheProgramsOwnFolder)
{
    char program[4096];
    DWORD length = GetModuleFileNameA(NULL, program, sizeof program);
    ASSERT_GT(length, 0u);
    std::filesystem::path besideProgram = std::filesystem::path(program).parent_path() /
                                          ("dorvane-" + std::to_string(getpid()) + ".dll");
    std::filesystem::copy_file(dvtest::MessageFilePath(), besideProgram);
    HMODULE messages = LoadLibraryA(besideProgram.filename().c_str());
    std::filesystem::remove(besideProgram);
    ASSERT_NE(messages, nullptr);
    char text[256];
    LPCSTR strings[] = {"qssFindInstance (6190)"};
    ASSERT_NE(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages,
                             QSS_EVENT_INTERNAL_ERROR, 1033, text, sizeof text, (va_list*)strings),
              0u);
    EXPECT_STREQ(text, "Internal error in qssFindInstance (6190).\r\n");
    EXPECT_TRUE(FreeLibrary(messages));
}
