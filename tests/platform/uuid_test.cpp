#include <cctype>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

std::string uuidText(const UUID& uuid)
{
    RPC_CSTR text = nullptr;
    EXPECT_EQ(UuidToStringA(&uuid, &text), RPC_S_OK);
    std::string copy = text ? reinterpret_cast<char*>(text) : "";
    EXPECT_EQ(RpcStringFreeA(&text), RPC_S_OK);
    EXPECT_EQ(text, nullptr);
    return copy;
}

}  // namespace

TEST(Uuid, TextIsLowerCaseGuidOrder)
{
    UUID uuid = {0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
    EXPECT_EQ(uuidText(uuid), "0123abcd-4567-89ef-fedc-ba9876543210");
}

TEST(Uuid, CreatedUuidsAreRandomVersionFourAndDiffer)
{
    UUID first;
    UUID second;
    ASSERT_EQ(UuidCreate(&first), RPC_S_OK);
    ASSERT_EQ(UuidCreate(&second), RPC_S_OK);
    EXPECT_NE(memcmp(&first, &second, sizeof(UUID)), 0);

    std::string text = uuidText(first);
    ASSERT_EQ(text.size(), 36u);
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(text[i], '-') << text;
        } else {
            EXPECT_TRUE(isxdigit((unsigned char)text[i]) && !isupper((unsigned char)text[i])) << text;
        }
    }
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
}
