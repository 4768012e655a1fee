#include <random>

#include <gtest/gtest.h>

#include "platform/posix/registry_value_file.h"
#include "platform/win32.h"

namespace {

TEST(RegistryValueFile, AnyNamesAndBytesRoundTrip)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 40);
    const DWORD types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, 0x1234};
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<dvreg::Value> values;
        for (int i = 0; i < 6; ++i) {
            dvreg::Value v{};
            v.name = i == 0 ? "" : "n" + std::to_string(i);
            for (int n = length(random) % 6; n > 0; --n) v.name.push_back(static_cast<char>(byte(random)));
            v.type = types[byte(random) % 8];
            for (int n = length(random); n > 0; --n) v.data.push_back(static_cast<BYTE>(byte(random)));
            if (trial % 3 == 0 && v.type == REG_SZ) v.data.push_back(0);
            values.push_back(v);
        }
        std::string text = dvreg::FormatValueFile("HKEY_LOCAL_MACHINE\\K", values);
        std::vector<dvreg::Value> back;
        ASSERT_TRUE(dvreg::ParseValueFile(text, &back)) << text;
        ASSERT_EQ(back.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(back[i].name, values[i].name);
            EXPECT_EQ(back[i].type, values[i].type);
            EXPECT_EQ(back[i].data, values[i].data);
        }
    }
}

}  // namespace
