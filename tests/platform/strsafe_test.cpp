#include <cstring>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

constexpr size_t kOversize = (size_t)STRSAFE_MAX_CCH + 1;

// A buffer pre-filled with a marker, so that every byte written can be seen.
struct Marked {
    char bytes[8];
    Marked() { memset(bytes, '#', sizeof bytes); }
    bool Untouched() const
    {
        for (char c : bytes)
            if (c != '#')
                return false;
        return true;
    }
};

} // namespace

TEST(StrSafePrintf, FitsExactlyWithTerminator)
{
    Marked out;
    EXPECT_EQ(StringCbPrintfA(out.bytes, sizeof out.bytes, "%s-%u", "abc", 42u), S_OK);
    EXPECT_STREQ(out.bytes, "abc-42");
    EXPECT_EQ(StringCbPrintfA(out.bytes, sizeof out.bytes, "%s", "1234567"), S_OK);
    EXPECT_STREQ(out.bytes, "1234567");
}

TEST(StrSafePrintf, CutsAtBufferEndAndReportsIt)
{
    Marked out;
    EXPECT_EQ(StringCbPrintfA(out.bytes, sizeof out.bytes, "%s", "12345678"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(out.bytes, "1234567");
    EXPECT_EQ(StringCbPrintfA(out.bytes, 1, "%s", "x"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out.bytes[0], '\0');
}

TEST(StrSafePrintf, InvalidSizeWritesNothing)
{
    Marked out;
    EXPECT_EQ(StringCbPrintfA(out.bytes, 0, "%s", "x"), E_INVALIDARG);
    EXPECT_EQ(StringCbPrintfA(out.bytes, kOversize, "%s", "x"), E_INVALIDARG);
    EXPECT_TRUE(out.Untouched());
}

TEST(StrSafePrintf, FormattingErrorLeavesEmptyTerminatedText)
{
    // No character set can encode this wide character, so the C library fails.
    const wchar_t unencodable[] = {(wchar_t)0x7FFFFFFF, 0};
    Marked out;
    HRESULT hr = StringCbPrintfA(out.bytes, sizeof out.bytes, "ab%ls", unencodable);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(out.bytes[0], '\0');
}

TEST(StrSafeCopy, CopiesCutsAndRefusesInvalidSizes)
{
    Marked out;
    EXPECT_EQ(StringCbCopyA(out.bytes, sizeof out.bytes, "short"), S_OK);
    EXPECT_STREQ(out.bytes, "short");
    EXPECT_EQ(StringCbCopyA(out.bytes, sizeof out.bytes, "much too long"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(out.bytes, "much to");

    Marked untouched;
    EXPECT_EQ(StringCbCopyA(untouched.bytes, 0, "x"), E_INVALIDARG);
    EXPECT_EQ(StringCbCopyA(untouched.bytes, kOversize, "x"), E_INVALIDARG);
    EXPECT_TRUE(untouched.Untouched());
}

TEST(StrSafeCat, AppendsAndCutsAtBufferEnd)
{
    char out[8] = "abc";
    EXPECT_EQ(StringCbCatA(out, sizeof out, "de"), S_OK);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(StringCbCatA(out, sizeof out, "fghij"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_EQ(StringCbCatA(out, sizeof out, ""), S_OK);
    EXPECT_EQ(StringCbCatA(out, sizeof out, "h"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(out, "abcdefg");
}

TEST(StrSafeCat, UnterminatedDestinationOrInvalidSizeIsRefused)
{
    Marked out;
    EXPECT_EQ(StringCbCatA(out.bytes, sizeof out.bytes, "x"), E_INVALIDARG);
    EXPECT_TRUE(out.Untouched());

    char text[8] = "abc";
    EXPECT_EQ(StringCbCatA(text, 0, "x"), E_INVALIDARG);
    EXPECT_EQ(StringCbCatA(text, kOversize, "x"), E_INVALIDARG);
    EXPECT_STREQ(text, "abc");
}

TEST(StrSafeLength, CountsBytesBeforeTerminatorWithinSize)
{
    size_t length = 99;
    EXPECT_EQ(StringCbLengthA("abc", 4, &length), S_OK);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(StringCbLengthA("", 1, &length), S_OK);
    EXPECT_EQ(length, 0u);
}

TEST(StrSafeLength, FailsWithZeroLengthWhenNoTerminatorOrInvalidSize)
{
    size_t length = 99;
    EXPECT_EQ(StringCbLengthA("abc", 3, &length), E_INVALIDARG);
    EXPECT_EQ(length, 0u);
    length = 99;
    EXPECT_EQ(StringCbLengthA("abc", 0, &length), E_INVALIDARG);
    EXPECT_EQ(length, 0u);
    length = 99;
    EXPECT_EQ(StringCbLengthA("abc", kOversize, &length), E_INVALIDARG);
    EXPECT_EQ(length, 0u);
}
