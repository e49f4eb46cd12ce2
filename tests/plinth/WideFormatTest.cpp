#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace {

template <typename... Args>
std::wstring Format(const wchar_t* format, Args... args)
{
    wchar_t buffer[128];
    Plinth::FormatWide(buffer, 128, format, args...);
    return buffer;
}

TEST(WideFormatTest, FollowsMicrosoftConversionRules)
{
    EXPECT_EQ(Format(L"[%s]", L"wide text"), L"[wide text]");
    EXPECT_EQ(Format(L"%08X", 0xABCDEFu), L"00ABCDEF");
    EXPECT_EQ(Format(L"%0.3u", 7u), L"007");
    EXPECT_EQ(Format(L"%02hu", static_cast<unsigned short>(3)), L"03");
    EXPECT_EQ(Format(L"%llu", 0xFFFFFFFFFFFFFFFFull), L"18446744073709551615");
}

TEST(WideFormatTest, TruncatesAtBufferSizeAndAlwaysTerminates)
{
    // Buffer size, text, result and what the buffer holds.
    const std::tuple<size_t, const wchar_t*, int, const wchar_t*> cases[] = {
        {6, L"abcde", 5, L"abcde"}, {6, L"abcdef", -1, L"abcde"}, {5, L"abcdef", -1, L"abcd"}, {1, L"x", -1, L""}};
    wchar_t buffer[7];
    for (const auto& [size, text, result, held] : cases) {
        std::wmemset(buffer, L'#', 7);
        EXPECT_EQ(Plinth::FormatWide(buffer, size, L"%s", text), result) << size << text;
        EXPECT_STREQ(buffer, held);
        EXPECT_EQ(buffer[size], L'#');
    }
    EXPECT_EQ(Plinth::FormatWide(nullptr, 6, L"x"), -1);
    EXPECT_EQ(Plinth::FormatWide(buffer, 6, nullptr), -1);
    EXPECT_EQ(buffer[0], L'\0');
}

TEST(WideFormatTest, UnlimitedFormattingKeepsLongText)
{
    const std::wstring piece(5000, L'x');
    std::wstring out;
    ASSERT_TRUE(Plinth::FormatWideString(out, L"<%s>", piece.c_str()));
    EXPECT_EQ(out.size(), 5002u);
    EXPECT_EQ(out.front(), L'<');
    EXPECT_EQ(out.back(), L'>');

    ASSERT_TRUE(Plinth::FormatWideString(out, L""));
    EXPECT_TRUE(out.empty());
}

TEST(OwnersTest, ClosingKeepsTheLastErrorAndPutReleasesWhatWasHeld)
{
    Plinth::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    ::SetLastError(ERROR_ACCESS_DENIED);
    event.reset();
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(event);

    // put() releases what was held before handing out the address.
    Plinth::UniqueCoTaskMem<wchar_t> text(static_cast<wchar_t*>(::CoTaskMemAlloc(16)));
    ASSERT_TRUE(text);
    wchar_t** slot = text.put();
    EXPECT_EQ(*slot, nullptr);

    DWORD before = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 50; ++i)
        *event.put() = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    event.reset();
    DWORD after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

} // namespace
