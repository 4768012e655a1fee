// RegEnumValueA: every value once, in the order of their names without case, with Win32's answers
// for buffers too small and for the end of the list.
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

TEST(RegistryEnumValuesTest, ListsEachValueOnceByNameAndSaysWhenABufferIsShort)
{
    dvtest::StateDir state;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Values", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const BYTE four[] = {1, 2, 3, 4};
    ASSERT_EQ(RegSetValueExA(key, "Second", 0, REG_BINARY, four, 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "First", 0, REG_DWORD, four, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "SECOND", 0, REG_BINARY, four, 3), ERROR_SUCCESS);

    char name[16];
    BYTE data[8];
    DWORD nameLength = sizeof name, size = sizeof data, type = 0;
    ASSERT_EQ(RegEnumValueA(key, 1, name, &nameLength, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "Second");
    EXPECT_EQ(nameLength, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(size, 3u);
    nameLength = sizeof name, size = 2;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    nameLength = 5, size = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, data, &size), ERROR_MORE_DATA);
    nameLength = 6;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "First");
    nameLength = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 2, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    nameLength = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
}

}  // namespace
