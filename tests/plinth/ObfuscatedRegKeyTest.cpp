#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "plinth/Md5.h"
#include "plinth/ObfuscatedRegKey.h"
#include "tests/support/TestRegistry.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr wchar_t kTestPath[] = L"Software\\Varkon\\Tests\\ObfuscatedRegKey";

uint32_t FieldAt(const Bytes& bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

class ObfuscatedRegKeyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_plain.Create(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
        ASSERT_EQ(m_sealed.Open(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
    }

    Bytes ReadRaw(const wchar_t* name, DWORD* type = nullptr)
    {
        Bytes bytes(256);
        DWORD size = static_cast<DWORD>(bytes.size());
        if (::RegQueryValueExW(m_plain.GetHandle(), name, nullptr, type, bytes.data(), &size) != ERROR_SUCCESS)
            return Bytes();
        bytes.resize(size);
        return bytes;
    }

    void WriteRaw(const wchar_t* name, const Bytes& bytes)
    {
        ASSERT_EQ(
            ::RegSetValueExW(m_plain.GetHandle(), name, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
    }

    ZelTest::ScopedRegistryTree m_tree{HKEY_CURRENT_USER, kTestPath};
    Plinth::CRegKey m_plain;
    Plinth::CObfuscatedRegKey m_sealed;
};

TEST_F(ObfuscatedRegKeyTest, ValuesAreStoredSealedAndReadBack)
{
    // U+00E9, U+4E16 and U+1F600 take two, three and four UTF-8 bytes.
    const wchar_t* text = L"h\u00e9 \u4e16 \U0001F600";
    const BYTE blob[] = {0, 0xFF, 0x10};
    ASSERT_EQ(m_sealed.SetDWORDValue(L"dword", 0xA1B2C3D4), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetQWORDValue(L"qword", 0x1122334455667788ull), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetBinaryValue(L"binary", blob, sizeof(blob)), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetStringValue(L"string", text), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetStringValue(L"empty", L""), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetStringValue(L"expand", L"%TEMP%", REG_EXPAND_SZ), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetMultiStringValue(L"multi", L"\u00e9t\u00e9\0\0b\0"), ERROR_SUCCESS);
    ASSERT_EQ(m_sealed.SetGUIDValue(L"guid", GUID_NULL), ERROR_SUCCESS);

    struct Stored
    {
        const wchar_t* name;
        DWORD type;
        uint32_t dataBytes;
    };
    const Stored stored[] = {
        {L"dword", REG_DWORD, 4}, {L"qword", REG_QWORD, 8},       {L"binary", REG_BINARY, 3},  {L"string", REG_SZ, 13},
        {L"empty", REG_SZ, 1},    {L"expand", REG_EXPAND_SZ, 14}, {L"multi", REG_MULTI_SZ, 7}, {L"guid", REG_SZ, 39},
    };
    for (const Stored& s : stored) {
        SCOPED_TRACE(s.name);
        DWORD rawType = 0;
        const Bytes raw = ReadRaw(s.name, &rawType);
        EXPECT_EQ(rawType, static_cast<DWORD>(REG_BINARY));
        ASSERT_EQ(raw.size(), 32u + s.dataBytes);
        EXPECT_EQ(std::string(raw.begin(), raw.begin() + 4), "VKRG");
        EXPECT_EQ(FieldAt(raw, 4), 1u);
        EXPECT_EQ(FieldAt(raw, 8), s.dataBytes);
        EXPECT_EQ(FieldAt(raw, 12), s.type);
        // The digest covers the stored, obfuscated bytes with its own field
        // zeroed, whatever key sealed them: values written before stay readable.
        Bytes zeroed = raw;
        std::fill(zeroed.begin() + 16, zeroed.begin() + 32, uint8_t{0});
        uint8_t digest[Plinth::kMd5DigestBytes];
        Plinth::Md5(zeroed.data(), zeroed.size(), digest);
        EXPECT_TRUE(std::equal(std::begin(digest), std::end(digest), raw.begin() + 16));
        DWORD type = 0;
        EXPECT_EQ(m_sealed.QueryValue(s.name, &type, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(type, s.type);
    }

    // The other types' reading is the tool's round trip (VkSealTest).
    std::wstring value;
    wchar_t buffer[16];
    ULONG chars = 16;
    EXPECT_EQ(m_sealed.QueryStringValue(L"string", value), ERROR_SUCCESS);
    EXPECT_EQ(value, text);
    EXPECT_EQ(m_sealed.QueryStringValue(L"empty", value), ERROR_SUCCESS);
    EXPECT_EQ(value, L"");
    // The list ends at its first empty string.
    EXPECT_EQ(m_sealed.QueryMultiStringValue(L"multi", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(buffer, chars), std::wstring(L"\u00e9t\u00e9\0\0", 5));
    // Expandable strings are sealed as their UTF-16 bytes, which only a buffer
    // receives: without one the length comes with 234.
    chars = 16;
    EXPECT_EQ(m_sealed.QueryStringValue(L"expand", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(buffer), L"%TEMP%");
    EXPECT_EQ(m_sealed.QueryStringValue(L"expand", value), ERROR_MORE_DATA);
    ULONG bytes = 0;
    EXPECT_EQ(m_sealed.QueryValue(L"dword", nullptr, nullptr, &bytes), ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(m_sealed.QueryValue(L"dword", nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(ObfuscatedRegKeyTest, AnyChangedByteReadsAsInvalidData)
{
    ASSERT_EQ(m_sealed.SetStringValue(L"v", L"value"), ERROR_SUCCESS);
    const Bytes good = ReadRaw(L"v");
    ASSERT_EQ(good.size(), 38u);
    std::vector<Bytes> bad;
    for (size_t i = 0; i < good.size(); ++i) {
        for (uint8_t flip : {0x01, 0x80}) {
            bad.push_back(good);
            bad.back()[i] ^= flip;
        }
    }
    for (size_t length = 0; length < good.size(); ++length)
        bad.emplace_back(good.begin(), good.begin() + length);
    bad.push_back(good);
    bad.back().push_back(0);
    for (size_t i = 0; i < bad.size(); ++i) {
        WriteRaw(L"v", bad[i]);
        std::wstring text;
        DWORD type = 0;
        EXPECT_EQ(m_sealed.QueryStringValue(L"v", text), ERROR_INVALID_DATA) << i;
        EXPECT_EQ(m_sealed.QueryValue(L"v", &type, nullptr, nullptr), ERROR_INVALID_DATA) << i;
        wchar_t buffer[9];
        buffer[8] = L'#';
        ULONG chars = 8;
        EXPECT_EQ(m_sealed.QueryStringValue(L"v", buffer, &chars), ERROR_INVALID_DATA) << i;
        EXPECT_EQ(buffer[8], L'#') << i;
    }
}

TEST_F(ObfuscatedRegKeyTest, BlobsOnBothSidesOfTheFirstReadBuffer)
{
    // 224 data bytes make a 256-byte value, the most the first read takes.
    for (size_t size : {223u, 224u, 225u, 65000u}) {
        SCOPED_TRACE(size);
        Bytes blob(size);
        for (size_t i = 0; i < size; ++i)
            blob[i] = static_cast<uint8_t>(i * 7 + 3);
        ASSERT_EQ(m_sealed.SetBinaryValue(L"b", blob.data(), static_cast<ULONG>(size)), ERROR_SUCCESS);
        Bytes read(size + 1, 0xCD);
        ULONG bytes = static_cast<ULONG>(size);
        EXPECT_EQ(m_sealed.QueryBinaryValue(L"b", read.data(), &bytes), ERROR_SUCCESS);
        EXPECT_EQ(bytes, size);
        EXPECT_TRUE(std::equal(blob.begin(), blob.end(), read.begin()));
        EXPECT_EQ(read[size], 0xCD);
        bytes = static_cast<ULONG>(size - 1);
        EXPECT_EQ(m_sealed.QueryBinaryValue(L"b", read.data(), &bytes), ERROR_MORE_DATA);
        EXPECT_EQ(bytes, size);
    }
}

TEST_F(ObfuscatedRegKeyTest, StringsAtTheEdgeOfAFixedBuffer)
{
    struct Case
    {
        size_t length;
        wchar_t fill;
    };
    // Two UTF-8 bytes per U+00E9 push the sealed value past the first read.
    const Case cases[] = {{259, L'x'}, {260, L'x'}, {261, L'x'}, {259, L'\u00e9'}, {260, L'\u00e9'}};
    for (Plinth::CRegKey* key : {&m_plain, static_cast<Plinth::CRegKey*>(&m_sealed)}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << (key == &m_plain ? "plain " : "sealed ") << c.length << " of " << static_cast<int>(c.fill));
            const std::wstring value(c.length, c.fill);
            ASSERT_EQ(key->SetStringValue(L"s", value.c_str()), ERROR_SUCCESS);
            wchar_t buffer[MAX_PATH + 1];
            buffer[MAX_PATH] = L'#';
            ULONG chars = MAX_PATH;
            EXPECT_EQ(key->QueryStringValue(L"s", buffer, &chars),
                      c.length < MAX_PATH ? ERROR_SUCCESS : ERROR_MORE_DATA);
            EXPECT_EQ(buffer[MAX_PATH], L'#');
            if (c.length < MAX_PATH) {
                EXPECT_EQ(chars, c.length + 1);
                EXPECT_EQ(std::wstring(buffer), value);
            }
            std::wstring whole;
            EXPECT_EQ(key->QueryStringValue(L"s", whole), ERROR_SUCCESS);
            EXPECT_EQ(whole, value);
        }
    }
}

TEST_F(ObfuscatedRegKeyTest, MultiStringThatDoesNotFitLeavesAZeroedBuffer)
{
    ASSERT_EQ(m_sealed.SetMultiStringValue(L"m", L"alpha\0beta\0"), ERROR_SUCCESS);
    // Twelve characters: both strings with their zeros and the closing zero.
    for (ULONG capacity : {12u, 11u, 8u, 3u}) {
        wchar_t buffer[16];
        std::wmemset(buffer, L'#', 16);
        ULONG chars = capacity;
        const LONG result = m_sealed.QueryMultiStringValue(L"m", buffer, &chars);
        if (capacity == 12) {
            EXPECT_EQ(result, ERROR_SUCCESS);
            EXPECT_EQ(std::wstring(buffer, chars), std::wstring(L"alpha\0beta\0", 12));
        } else {
            EXPECT_EQ(result, ERROR_MORE_DATA) << capacity;
            EXPECT_EQ(std::count(buffer, buffer + capacity, L'\0'), static_cast<ptrdiff_t>(capacity));
        }
        EXPECT_EQ(buffer[capacity], L'#') << capacity;
    }
}

} // namespace
