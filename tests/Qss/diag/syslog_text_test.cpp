#include <string>

#include <gtest/gtest.h>

#include "platform/posix/eventlog_message_text.h"
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

TEST(SyslogText, ComesFromTheRegisteredMessageFile)
{
    dvtest::StateDir state;
    const char* strings[] = {"qssFindInstance (6190)"};
    std::string text;
    EXPECT_FALSE(dveventlog::RegisteredMessageText("Dorvane", QSS_EVENT_INTERNAL_ERROR, strings, text));

    RegisterMessageFile(dvtest::MessageFilePath());
    ASSERT_TRUE(dveventlog::RegisteredMessageText("Dorvane", QSS_EVENT_INTERNAL_ERROR, strings, text));
    EXPECT_EQ(text, "Internal error in qssFindInstance (6190).\r\n");
    EXPECT_FALSE(dveventlog::RegisteredMessageText("Dorvane", 0x4C0000FF, strings, text));
}
