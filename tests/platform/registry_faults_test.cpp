// The registry's fault switch: which calls it fails, with which code, and that
// a failed call changes nothing.
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/faults.h"
#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

const char kKey[] = "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Persistent States";

class RegistryFaultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        dvfaults::Set(nullptr);
        RegCloseKey(key_);
    }

    LSTATUS SetValue(DWORD value)
    {
        return RegSetValueExA(key_, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    DWORD GetValue()
    {
        DWORD value = 0;
        DWORD size = sizeof value;
        EXPECT_EQ(RegQueryValueExA(key_, "Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
                  ERROR_SUCCESS);
        return value;
    }
    LSTATUS CreateAndDelete(const char* name)
    {
        HKEY sub = nullptr;
        EXPECT_EQ(RegCreateKeyExA(key_, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &sub,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(sub);
        return RegDeleteKeyA(key_, name);
    }

    dvtest::StateDir state_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryFaultsTest, TheNthWriteFailsOnceWithDiskFullAndChangesNothing)
{
    unsigned long before = dvfaults::Injected(dvfaults::kRegistryWrite);
    ASSERT_TRUE(dvfaults::Set("reg_write:2"));
    EXPECT_EQ(SetValue(1), ERROR_SUCCESS);
    EXPECT_EQ(SetValue(2), ERROR_DISK_FULL);
    EXPECT_EQ(GetValue(), 1u);
    EXPECT_EQ(RegDeleteValueA(key_, "Value"), ERROR_SUCCESS);
    EXPECT_EQ(SetValue(3), ERROR_SUCCESS);
    EXPECT_EQ(GetValue(), 3u);
    EXPECT_EQ(dvfaults::Injected(dvfaults::kRegistryWrite), before + 1);
    // Flushes and deletions go ahead.
    EXPECT_EQ(RegFlushKey(key_), ERROR_SUCCESS);
    EXPECT_EQ(CreateAndDelete("Sub"), ERROR_SUCCESS);
}

TEST_F(RegistryFaultsTest, AFullDiskFailsEveryWriteFromTheNthOn)
{
    ASSERT_TRUE(dvfaults::Set("reg_write:1+"));
    for (DWORD i = 0; i < 3; ++i) EXPECT_EQ(SetValue(i), ERROR_DISK_FULL);
    EXPECT_EQ(RegDeleteValueA(key_, "Value"), ERROR_DISK_FULL);
    ASSERT_TRUE(dvfaults::Set(""));
    EXPECT_EQ(SetValue(7), ERROR_SUCCESS);
    EXPECT_EQ(GetValue(), 7u);
}

TEST_F(RegistryFaultsTest, FlushAndDeleteFailOnDemandAndTheKeyStays)
{
    ASSERT_TRUE(dvfaults::Set("reg_flush:1,reg_delete:2+"));
    EXPECT_EQ(RegFlushKey(key_), ERROR_GEN_FAILURE);
    EXPECT_EQ(RegFlushKey(key_), ERROR_SUCCESS);
    EXPECT_EQ(CreateAndDelete("First"), ERROR_SUCCESS);
    EXPECT_EQ(CreateAndDelete("Second"), ERROR_GEN_FAILURE);
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key_, "Second", 0, KEY_READ, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
    // A deletion of a key that is not there fails as before, without counting.
    EXPECT_EQ(RegDeleteKeyA(key_, "Missing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryFaultsTest, TextThatDoesNotParseInjectsNothing)
{
    for (const char* text : {"reg_write", "reg_write:0", "reg_write:x", "reg_write:1-", "disk:1", "reg_writes:1",
                             "reg_write:-1"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(dvfaults::Set(text));
        EXPECT_EQ(SetValue(5), ERROR_SUCCESS);
    }
}

}  // namespace
