#include <string>

#include <gtest/gtest.h>

#include "platform/posix/eventlog_message_file.h"
#include "support/qss_diag.h"
#include "support/temp_dir.h"

namespace {

void RegisterMessageFile(const std::string& path)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Dorvane",
                              0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, NULL, &key, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

TEST(EventMessageFile, IsTheRegisteredOneAndStaysLoadedWhileRegistered)
{
    dvtest::StateDir state;
    EXPECT_EQ(dveventlog::SourceMessageFile("Dorvane"), nullptr);

    RegisterMessageFile(dvtest::MessageFilePath());
    std::shared_ptr<dveventlog::MessageFile> messages = dveventlog::SourceMessageFile("Dorvane");
    ASSERT_NE(messages, nullptr);
    EXPECT_EQ(dveventlog::SourceMessageFile("Dorvane"), messages);
    const char* strings[] = {"qssFindInstance (6190)"};
    std::string text;
    ASSERT_TRUE(messages->Text(QSS_EVENT_INTERNAL_ERROR, strings, text));
    EXPECT_EQ(text, "Internal error in qssFindInstance (6190).\r\n");
    EXPECT_FALSE(messages->Text(0x4C0000FF, strings, text));

    // The PVM's GUID is the fourth insertion of a grant and the fifth of a keepalive timeout.
    EXPECT_EQ(messages->BracedInsertion(QSS_EVENT_QUORUM_GRANTED), 4u);
    EXPECT_EQ(messages->BracedInsertion(QSS_EVENT_KEEPALIVE_TIMEOUT), 5u);
    EXPECT_EQ(messages->BracedInsertion(QSS_EVENT_INTERNAL_ERROR), 0u);

    RegisterMessageFile(state.file("elsewhere.dll"));
    EXPECT_EQ(dveventlog::SourceMessageFile("Dorvane"), nullptr);
}
