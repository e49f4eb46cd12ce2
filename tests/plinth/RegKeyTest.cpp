// The registry key, its sealed form and its grant to Everyone, on a key of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "plinth/Md5.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "plinth/RegKey.h"
#include "plinth/SecurityAPI.h"
#include "tests/support/TestRegistry.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr wchar_t kTestPath[] = L"Software\\Varkon\\Tests\\RegKey";

uint32_t FieldAt(const Bytes& bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

class RegKeyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_key.Create(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
        ASSERT_EQ(m_sealed.Open(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
    }

    // Writes data exactly as given, bypassing the wrapper's own rules.
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(::RegSetValueExW(m_key.GetHandle(), name, 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
    }

    Bytes ReadRaw(const wchar_t* name, DWORD* type = nullptr)
    {
        Bytes bytes(256);
        DWORD size = static_cast<DWORD>(bytes.size());
        if (::RegQueryValueExW(m_key.GetHandle(), name, nullptr, type, bytes.data(), &size) != ERROR_SUCCESS)
            return Bytes();
        bytes.resize(size);
        return bytes;
    }

    void CreateKeys(std::initializer_list<const wchar_t*> paths)
    {
        for (const wchar_t* path : paths) {
            Plinth::CRegKey key;
            ASSERT_EQ(key.Create(m_key.GetHandle(), path), ERROR_SUCCESS);
            ASSERT_EQ(key.SetDWORDValue(L"v", 1), ERROR_SUCCESS);
        }
    }

    ZelTest::ScopedRegistryTree m_tree{HKEY_CURRENT_USER, kTestPath};
    Plinth::CRegKey m_key;
    Plinth::CObfuscatedRegKey m_sealed;
};

using ObfuscatedRegKeyTest = RegKeyTest;
using SecurityAPITest = RegKeyTest;

// Number of access-allowed entries for Everyone in the key's DACL, and their mask.
int EveryoneEntries(HKEY root, const std::wstring& path, DWORD* mask = nullptr)
{
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL, key.put()) != ERROR_SUCCESS)
        return -1;
    DWORD bytes = 0;
    ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &bytes);
    std::vector<BYTE> descriptor(bytes);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &bytes) != ERROR_SUCCESS ||
        !::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !dacl)
        return 0;
    int count = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::IsWellKnownSid(&ace->SidStart, WinWorldSid)) {
            ++count;
            if (mask)
                *mask = ace->Mask;
        }
    }
    return count;
}

// The typed layer is shared with the sealed key, whose tests read the other
// forms; these are the forms whose plain stored bytes are the registry's own.
TEST_F(RegKeyTest, TextValuesRoundTripInTheirRegistryForm)
{
    const GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_EQ(m_key.SetStringValue(L"expand", L"%SystemRoot%\\x", REG_EXPAND_SZ), ERROR_SUCCESS);
    ASSERT_EQ(m_key.SetGUIDValue(L"guid", guid), ERROR_SUCCESS);
    std::wstring text;
    // Expandable strings come back as stored.
    EXPECT_EQ(m_key.QueryStringValue(L"expand", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"%SystemRoot%\\x");
    GUID readGuid = {};
    EXPECT_EQ(m_key.QueryGUIDValue(L"guid", readGuid), ERROR_SUCCESS);
    EXPECT_TRUE(::IsEqualGUID(readGuid, guid));
    EXPECT_EQ(ZelTest::ReadString(HKEY_CURRENT_USER, kTestPath, L"guid"), L"{12345678-9ABC-DEF0-0102-030405060708}");
}

TEST_F(RegKeyTest, MalformedStoredDataIsRejected)
{
    // The character after the data is not zero, or the registry would count it in.
    const BYTE odd[] = {'a', 0, 'b', 0, 0, 'c', 0};
    const DWORD seven = 7;
    SetRaw(L"empty", REG_SZ, L"", 0);
    SetRaw(L"noterm", REG_SZ, L"abcd", 3 * sizeof(wchar_t));
    SetRaw(L"odd", REG_SZ, odd, 5);
    SetRaw(L"dword", REG_DWORD, &seven, sizeof(seven));
    SetRaw(L"bin4", REG_BINARY, &seven, sizeof(seven));
    SetRaw(L"multi1", REG_MULTI_SZ, L"a", 2 * sizeof(wchar_t));
    SetRaw(L"notguid", REG_SZ, L"abc", 8);
    SetRaw(L"badguid", REG_SZ, L"{not a guid}", 26);

    const std::pair<const wchar_t*, LONG> strings[] = {{L"empty", ERROR_SUCCESS},
                                                       {L"noterm", ERROR_INVALID_DATA},
                                                       {L"odd", ERROR_INVALID_DATA},
                                                       {L"dword", ERROR_INVALID_DATA},
                                                       {L"missing", ERROR_FILE_NOT_FOUND}};
    for (const auto& [name, expected] : strings) {
        wchar_t buffer[16] = {L'?'};
        ULONG chars = 16;
        EXPECT_EQ(m_key.QueryStringValue(name, buffer, &chars), expected) << name;
        // An empty value has no characters, and a failure leaves none.
        EXPECT_EQ(chars, 0u) << name;
        EXPECT_TRUE(expected != ERROR_SUCCESS || buffer[0] == L'\0') << name;
        // The string form reads with the size a length query gives, so an odd
        // byte count is invalid data there too, not a buffer too small.
        std::wstring text = L"unchanged";
        EXPECT_EQ(m_key.QueryStringValue(name, text), expected) << name;
        EXPECT_EQ(text, expected ? L"unchanged" : L"") << name;
    }
    // The registry has already copied the bytes when the type check fails.
    DWORD value = 0;
    EXPECT_EQ(m_key.QueryDWORDValue(L"bin4", value), ERROR_INVALID_DATA);
    EXPECT_EQ(value, 7u);
    wchar_t buffer[16];
    ULONG chars = 16;
    EXPECT_EQ(m_key.QueryMultiStringValue(L"multi1", buffer, &chars), ERROR_INVALID_DATA);
    chars = 1;
    EXPECT_EQ(m_key.QueryMultiStringValue(L"missing", buffer, &chars), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(chars, 0u);
    for (const wchar_t* name : {L"notguid", L"badguid"}) {
        GUID guid;
        std::memset(&guid, 0xAB, sizeof(guid));
        EXPECT_EQ(m_key.QueryGUIDValue(name, guid), ERROR_INVALID_DATA) << name;
        EXPECT_TRUE(::IsEqualGUID(guid, GUID_NULL)) << name;
    }
}

// What a length query gives is enough to read the value: an empty list has one
// character, but a buffer needs two.
TEST_F(RegKeyTest, LengthQueriesAskForWhatAReadAccepts)
{
    SetRaw(L"emptylist", REG_MULTI_SZ, L"", sizeof(wchar_t));
    SetRaw(L"odd", REG_SZ, L"ab", 3);
    const std::tuple<const wchar_t*, bool, ULONG, LONG> cases[] = {
        {L"emptylist", true, 2, ERROR_SUCCESS},
        {L"odd", false, 2, ERROR_INVALID_DATA},
    };
    for (const auto& [name, multi, needed, read] : cases) {
        const auto query = [&, name = name, multi = multi](LPWSTR buffer, ULONG* chars) {
            return multi ? m_key.QueryMultiStringValue(name, buffer, chars)
                         : m_key.QueryStringValue(name, buffer, chars);
        };
        ULONG chars = 0;
        EXPECT_EQ(query(nullptr, &chars), ERROR_SUCCESS) << name;
        EXPECT_EQ(chars, needed) << name;
        std::vector<wchar_t> buffer(chars);
        EXPECT_EQ(query(buffer.data(), &chars), read) << name;
    }
}

// Without an open key every operation on it is 87, and a length is left 0.
TEST(ClosedRegKeyTest, EveryOperationOnTheKeyIsRefused)
{
    for (const bool sealed : {false, true}) {
        std::unique_ptr<Plinth::CRegKey> key(sealed ? new Plinth::CObfuscatedRegKey : new Plinth::CRegKey);
        DWORD type = 0;
        ULONG bytes = 4;
        wchar_t buffer[4];
        ULONG chars = 4;
        ULONG multiChars = 4;
        const DWORD value = 1;
        EXPECT_EQ(key->QueryValue(L"v", &type, buffer, &bytes), ERROR_INVALID_PARAMETER) << sealed;
        EXPECT_EQ(key->SetValue(L"v", REG_DWORD, &value, sizeof(value)), ERROR_INVALID_PARAMETER) << sealed;
        EXPECT_EQ(key->SetStringValue(L"v", L"x"), ERROR_INVALID_PARAMETER) << sealed;
        EXPECT_EQ(key->QueryStringValue(L"v", buffer, &chars), ERROR_INVALID_PARAMETER) << sealed;
        EXPECT_EQ(key->QueryMultiStringValue(L"v", buffer, &multiChars), ERROR_INVALID_PARAMETER) << sealed;
        EXPECT_EQ(chars + multiChars, 0u) << sealed;
    }
    // Closing a closed key still clears its delete-on-close flag.
    Plinth::CRegKey key;
    key.SetDeleteOnClose(true);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(key.GetDeleteOnClose());
}

TEST_F(RegKeyTest, ShortNumbersReadZeroExtended)
{
    const BYTE bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    for (const auto& [count, expected] : {std::pair{3u, 0x00030201u}, std::pair{0u, 0u}}) {
        SetRaw(L"dword", REG_DWORD, bytes, count);
        DWORD dword = 0xAAAAAAAA;
        EXPECT_EQ(m_key.QueryDWORDValue(L"dword", dword), ERROR_SUCCESS);
        EXPECT_EQ(dword, expected) << count;
    }
    SetRaw(L"qword5", REG_QWORD, bytes, 5);
    ULONGLONG qword = 0xAAAAAAAAAAAAAAAAull;
    EXPECT_EQ(m_key.QueryQWORDValue(L"qword5", qword), ERROR_SUCCESS);
    EXPECT_EQ(qword, 0x0000000504030201ull);
}

TEST_F(RegKeyTest, RefusedWritesAndFailedOpensChangeNothing)
{
    const BYTE data = 1;
    EXPECT_EQ(m_key.SetValue(L"zero", REG_BINARY, &data, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_key.SetStringValue(L"nullstring", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(m_key.SetMultiStringValue(L"nulllist", nullptr), ERROR_INVALID_DATA);
    DWORD type = 0;
    EXPECT_EQ(m_key.QueryValue(L"zero", &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    // One string of one character: the character, its zero and the closing zero.
    ASSERT_EQ(m_key.SetMultiStringValue(L"one", L"x\0"), ERROR_SUCCESS);
    ULONG bytes = 0;
    EXPECT_EQ(m_key.QueryValue(L"one", &type, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 6u);

    DWORD disposition = 99;
    Plinth::CRegKey key;
    ASSERT_EQ(key.Create(m_key.GetHandle(), L"child", nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const HKEY before = key.GetHandle();
    EXPECT_EQ(key.Open(m_key.GetHandle(), L"no such key"), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(key.Create(nullptr, L"x", nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, 0u);
    EXPECT_EQ(key.GetHandle(), before);
    EXPECT_EQ(key.SetDWORDValue(L"still", 1), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, SharedImplementationClosesForAllOwners)
{
    // An empty implementation pointer gives the key one of its own.
    Plinth::CRegKey survivor(std::shared_ptr<Plinth::internal::CRegKeyImpl>{});
    ASSERT_EQ(survivor.Open(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
    Plinth::CRegKey first;
    ASSERT_EQ(first.Open(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
    {
        Plinth::CRegKey second(first.Impl());
        EXPECT_EQ(second.GetHandle(), first.GetHandle());
    }
    EXPECT_EQ(first.GetHandle(), nullptr);
    DWORD value = 0;
    EXPECT_EQ(first.QueryDWORDValue(L"v", value), ERROR_INVALID_PARAMETER);
    EXPECT_NE(survivor.GetHandle(), nullptr);
}

TEST_F(RegKeyTest, DeletionsTakeTheTreeOrStopWhereTheyCannotOpen)
{
    CreateKeys({L"doomed\\deeper"});
    Plinth::CRegKey key;
    ASSERT_EQ(key.Open(m_key.GetHandle(), L"doomed"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(L"v", 1), ERROR_SUCCESS);
    key.SetDeleteOnClose(true);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(key.GetDeleteOnClose());
    EXPECT_FALSE(ZelTest::KeyExists(m_key.GetHandle(), L"doomed\\deeper"));
    // Gone with the key or emptied in it: either way the value is no more.
    EXPECT_EQ(::RegGetValueW(m_key.GetHandle(), L"doomed", L"v", RRF_RT_ANY, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    // Detaching hands the key over without deleting anything.
    CreateKeys({L"kept\\inner"});
    ASSERT_EQ(key.Open(m_key.GetHandle(), L"kept"), ERROR_SUCCESS);
    key.SetDeleteOnClose(true);
    Plinth::UniqueHKey detached(key.Detach());
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_TRUE(ZelTest::KeyExists(m_key.GetHandle(), L"kept\\inner"));

    CreateKeys({L"tree\\a\\b\\c", L"tree\\a\\d", L"tree\\e", L"keep"});
    EXPECT_EQ(m_key.RecurseDeleteKey(L"tree"), ERROR_SUCCESS);
    EXPECT_FALSE(ZelTest::KeyExists(m_key.GetHandle(), L"tree"));
    EXPECT_TRUE(ZelTest::KeyExists(m_key.GetHandle(), L"keep"));
    EXPECT_EQ(m_key.RecurseDeleteKey(L"tree"), ERROR_FILE_NOT_FOUND);

    CreateKeys({L"tree\\a\\locked\\inner", L"tree\\b"});
    ASSERT_EQ(ZelTest::SetKeyLocked(m_key.GetHandle(), L"tree\\a\\locked", true), ERROR_SUCCESS);
    EXPECT_EQ(m_key.RecurseDeleteKey(L"tree"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(ZelTest::SetKeyLocked(m_key.GetHandle(), L"tree\\a\\locked", false), ERROR_SUCCESS);
    EXPECT_TRUE(ZelTest::KeyExists(m_key.GetHandle(), L"tree\\a\\locked\\inner"));
    EXPECT_TRUE(ZelTest::KeyExists(m_key.GetHandle(), L"tree\\b"));
}

// For a 64-bit process the 32-bit view of HKLM\SOFTWARE is a tree of its own:
// a deletion through a key opened in that view that lost the view flag would
// remove the 64-bit key of the same name instead.
TEST(RegKeyViewTest, DeletionsGoThroughTheViewTheKeyWasOpenedIn)
{
    constexpr wchar_t kPath[] = L"SOFTWARE\\Varkon\\Tests\\RegKeyView";
    const std::wstring narrowPath = L"SOFTWARE\\Wow6432Node\\Varkon\\Tests\\RegKeyView";
    ZelTest::ScopedRegistryTree wide(HKEY_LOCAL_MACHINE, kPath);
    ZelTest::ScopedRegistryTree narrow(HKEY_LOCAL_MACHINE, narrowPath);
    for (bool recurse : {false, true}) {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            Plinth::CRegKey key;
            ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, recurse ? L"SOFTWARE\\Varkon\\Tests\\RegKeyView\\inner" : kPath,
                                 nullptr, 0, KEY_ALL_ACCESS | view),
                      ERROR_SUCCESS);
        }
        ASSERT_TRUE(ZelTest::KeyExists(HKEY_LOCAL_MACHINE, narrowPath.c_str())) << "the two views are one here";
        Plinth::CRegKey machine;
        ASSERT_EQ(machine.Open(HKEY_LOCAL_MACHINE, L"", KEY_ALL_ACCESS | KEY_WOW64_32KEY), ERROR_SUCCESS);
        EXPECT_EQ(recurse ? machine.RecurseDeleteKey(kPath) : machine.DeleteSubKey(kPath), ERROR_SUCCESS) << recurse;
        EXPECT_FALSE(ZelTest::KeyExists(HKEY_LOCAL_MACHINE, narrowPath.c_str())) << recurse;
        EXPECT_TRUE(ZelTest::KeyExists(HKEY_LOCAL_MACHINE, kPath)) << recurse;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPath);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPath);
    }
}

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

    // Each value, its real type and the bytes its data takes sealed.
    const std::tuple<const wchar_t*, DWORD, uint32_t> stored[] = {
        {L"dword", REG_DWORD, 4}, {L"qword", REG_QWORD, 8},       {L"binary", REG_BINARY, 3},  {L"string", REG_SZ, 13},
        {L"empty", REG_SZ, 1},    {L"expand", REG_EXPAND_SZ, 14}, {L"multi", REG_MULTI_SZ, 7}, {L"guid", REG_SZ, 39},
    };
    for (const auto& [name, realType, dataBytes] : stored) {
        SCOPED_TRACE(name);
        DWORD rawType = 0;
        const Bytes raw = ReadRaw(name, &rawType);
        EXPECT_EQ(rawType, static_cast<DWORD>(REG_BINARY));
        ASSERT_EQ(raw.size(), 32u + dataBytes);
        EXPECT_EQ(std::string(raw.begin(), raw.begin() + 4), "VKRG");
        EXPECT_EQ(FieldAt(raw, 4), 1u);
        EXPECT_EQ(FieldAt(raw, 8), dataBytes);
        EXPECT_EQ(FieldAt(raw, 12), realType);
        // The digest covers the stored, obfuscated bytes with its own field
        // zeroed, whatever key sealed them: values written before stay readable.
        Bytes zeroed = raw;
        std::fill(zeroed.begin() + 16, zeroed.begin() + 32, uint8_t{0});
        uint8_t digest[Plinth::kMd5DigestBytes];
        Plinth::Md5(zeroed.data(), zeroed.size(), digest);
        EXPECT_TRUE(std::equal(std::begin(digest), std::end(digest), raw.begin() + 16));
        DWORD type = 0;
        EXPECT_EQ(m_sealed.QueryValue(name, &type, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(type, realType);
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
        SetRaw(L"v", REG_BINARY, bad[i].data(), static_cast<DWORD>(bad[i].size()));
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

TEST_F(ObfuscatedRegKeyTest, TextsAtTheEdgeOfTheirBuffer)
{
    // Two UTF-8 bytes per U+00E9 push the sealed value past the first read.
    const std::pair<size_t, wchar_t> cases[] = {
        {259, L'x'}, {260, L'x'}, {261, L'x'}, {259, L'\u00e9'}, {260, L'\u00e9'}};
    for (Plinth::CRegKey* key : {&m_key, static_cast<Plinth::CRegKey*>(&m_sealed)}) {
        for (const auto& [length, fill] : cases) {
            SCOPED_TRACE(testing::Message()
                         << (key == &m_key ? "plain " : "sealed ") << length << " of " << static_cast<int>(fill));
            const std::wstring value(length, fill);
            ASSERT_EQ(key->SetStringValue(L"s", value.c_str()), ERROR_SUCCESS);
            wchar_t buffer[MAX_PATH + 1];
            buffer[MAX_PATH] = L'#';
            ULONG chars = MAX_PATH;
            EXPECT_EQ(key->QueryStringValue(L"s", buffer, &chars), length < MAX_PATH ? ERROR_SUCCESS : ERROR_MORE_DATA);
            EXPECT_EQ(buffer[MAX_PATH], L'#');
            if (length < MAX_PATH) {
                EXPECT_EQ(chars, length + 1);
                EXPECT_EQ(std::wstring(buffer), value);
            }
            std::wstring whole;
            EXPECT_EQ(key->QueryStringValue(L"s", whole), ERROR_SUCCESS);
            EXPECT_EQ(whole, value);
        }
    }

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

// Everyone's full access is merged into the key's list once; with recursion it
// reaches every sub-key that can be opened and passes over the others.
TEST_F(SecurityAPITest, GrantIsMergedOnceAndReachesEverySubKeyItCanOpen)
{
    CreateKeys({L"a\\b", L"a\\locked"});
    const std::wstring root = kTestPath;
    Plinth::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestPath, KEY_ALL_ACCESS), ERROR_SUCCESS);
    for (int time = 0; time < 2; ++time) {
        ASSERT_EQ(key.GrantEveryoneFullAccess(false), ERROR_SUCCESS);
        DWORD mask = 0;
        EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, root, &mask), 1);
        EXPECT_TRUE((mask & GENERIC_ALL) || (mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS) << std::hex << mask;
        EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, root + L"\\a\\b"), 0);
    }
    ASSERT_EQ(ZelTest::SetKeyLocked(key.GetHandle(), L"a\\locked", true), ERROR_SUCCESS);
    EXPECT_EQ(Plinth::GrantEveryoneFullAccess(key.GetHandle(), true), 0u);
    ASSERT_EQ(ZelTest::SetKeyLocked(key.GetHandle(), L"a\\locked", false), ERROR_SUCCESS);
    for (const wchar_t* sub : {L"", L"\\a", L"\\a\\b"})
        EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, root + sub), 1) << sub;
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, root + L"\\a\\locked"), 0);
}

TEST_F(SecurityAPITest, OutsideTheNTFamilyNothingIsChanged)
{
    EXPECT_EQ(Plinth::GrantEveryoneFullAccess(nullptr, false), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Plinth::AdvapiSecurityAPI api;
    ASSERT_TRUE(api.Usable());
    api.SetUsableForTest(false);
    Plinth::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kTestPath, KEY_ALL_ACCESS), ERROR_SUCCESS);
    const int before = EveryoneEntries(HKEY_CURRENT_USER, kTestPath);
    EXPECT_EQ(Plinth::GrantEveryoneFullAccess(key.GetHandle(), true, &api), 0u);
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, kTestPath), before);
}

} // namespace
