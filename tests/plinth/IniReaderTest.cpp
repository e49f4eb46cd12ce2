// The INI readers: the base's line rules and the verifying reader's sealed entries.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "plinth/BaseIniReader.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"

namespace {

using Entries = std::vector<std::wstring>;
using Plinth::CObfuscatedIniReader;

// Records what the base hands to the derived class, as "section|key=value",
// with " (overwrite)" for a write.
class RecordingReader : public Plinth::CBaseIniReader
{
public:
    bool GetIntByName(const std::wstring&, int32_t&) const override { return false; }
    bool GetStringByName(const std::wstring&, std::wstring&) const override { return false; }
    bool GetSection(const std::wstring&, Plinth::IniSectionMap&) const override { return false; }
    bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool overwrite) override
    {
        added.push_back(section + L"|" + key + L"=" + value + (overwrite ? L" (overwrite)" : L""));
        return true;
    }

    Entries added;
};

class IniReaderTest : public ::testing::Test
{
protected:
    // Writes the file, by default the one at m_path, and returns its path.
    std::wstring WriteText(const std::string& bytes, const wchar_t* name = L"test.ini")
    {
        const std::wstring path = m_folder.Path() + L"\\" + name;
        Plinth::UniqueHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        return path;
    }

    // The raw text of one line of the file as the system's profile functions see it.
    std::wstring RawValue(const wchar_t* section, const wchar_t* key)
    {
        wchar_t text[2048];
        ::GetPrivateProfileStringW(section, key, L"", text, 2048, m_path.c_str());
        return text;
    }

    // Writes a sealed string through one reader and loads the file into another.
    void SealString(const std::wstring& value)
    {
        CObfuscatedIniReader writer;
        writer.Load(m_path);
        ASSERT_TRUE(writer.WriteString(L"S", L"k", value));
    }

    ZelTest::TempFolder m_folder{L"plinth-ini"};
    const std::wstring m_path = m_folder.Path() + L"\\test.ini";
};

using ObfuscatedIniReaderTest = IniReaderTest;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

TEST_F(IniReaderTest, LineRules)
{
    // The file, the entries handed on and the number of sections.
    const std::tuple<const char*, Entries, uint32_t> cases[] = {
        {"; comment=1\n  ;indented=2\nkey = a ; b \n", {L"|key=a ; b"}, 0},
        {"  key  =  a=b  \r\n", {L"|key=a=b"}, 0},
        {"=value\nkey=\nk=\"quoted\"\n", {L"|=value", L"|key=", L"|k=\"quoted\""}, 0},
        {"before=1\n[  Sec  ]\nk=v", {L"|before=1", L"Sec|k=v"}, 1},
        {"[A]\n[]\n[ \t ]\nk=v\n", {L"A|k=v"}, 1},
        {"[A]\n[B]\nk=v\n", {L"B|k=v"}, 2},
        {"[a=b]\nno equals here\n[Open\nk=v\n", {L"a=b|k=v"}, 1},
        {"\n   \n\t\r\n", {}, 0},
    };
    for (const auto& [text, expected, sections] : cases) {
        RecordingReader reader;
        ASSERT_TRUE(reader.Load(WriteText(text))) << text;
        EXPECT_EQ(reader.added, expected) << text;
        EXPECT_EQ(reader.EntryCount(), expected.size()) << text;
        EXPECT_EQ(reader.SectionCount(), sections) << text;
    }
}

// The line reader takes at most 1023 bytes at a time; the rest of a longer line
// is parsed as a line of its own.
TEST_F(IniReaderTest, LongLinesArriveInPieces)
{
    const std::string x(1021, 'x');
    const std::wstring first = L"|a=" + std::wstring(1021, L'x');
    const std::pair<std::string, Entries> cases[] = {
        {"a=" + x, {first, L"|z=1"}},
        {"a=" + x + "=", {first, L"|=", L"|z=1"}},
        {"a=" + x + "b=" + std::string(475, 'y'), {first, L"|b=" + std::wstring(475, L'y'), L"|z=1"}},
    };
    for (const auto& [line, expected] : cases) {
        for (const char* ending : {"\n", "\r\n"}) {
            RecordingReader reader;
            ASSERT_TRUE(reader.Load(WriteText(line + ending + "z=1\n")));
            EXPECT_EQ(reader.added, expected) << "line of " << line.size() << " bytes";
        }
    }
}

TEST_F(IniReaderTest, SecondLoadStartsInTheUnnamedSection)
{
    RecordingReader reader;
    ASSERT_TRUE(reader.Load(WriteText("[Old]\nk=v\n", L"first.ini")));
    ASSERT_TRUE(reader.Load(WriteText("top=1\n[New]\nx=y\n")));
    EXPECT_EQ(reader.added, (Entries{L"Old|k=v", L"|top=1", L"New|x=y"}));
}

TEST_F(IniReaderTest, MissingFileKeepsThePathOneThatCannotBeOpenedDoesNot)
{
    const std::wstring path = m_folder.Path() + L"\\new.ini";
    RecordingReader reader;
    EXPECT_FALSE(reader.Load(path));
    EXPECT_EQ(reader.Path(), path);
    ASSERT_TRUE(reader.WriteString(L"S", L"k", L"v"));
    ASSERT_TRUE(reader.WriteInt(L"S", L"n", -5));
    EXPECT_EQ(reader.added, (Entries{L"S|k=v (overwrite)", L"S|n=-5 (overwrite)"}));
    wchar_t text[32];
    ::GetPrivateProfileStringW(L"S", L"n", L"", text, 32, path.c_str());
    EXPECT_STREQ(text, L"-5");

    const std::wstring lockedPath = WriteText("k=v\n");
    Plinth::UniqueHandle lock(
        ::CreateFileW(lockedPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);
    RecordingReader locked;
    EXPECT_FALSE(locked.Load(lockedPath));
    EXPECT_TRUE(locked.Path().empty());
    EXPECT_FALSE(locked.WriteString(L"S", L"k", L"v"));
    EXPECT_FALSE(locked.Load(L""));
    EXPECT_TRUE(locked.added.empty());
}

TEST_F(ObfuscatedIniReaderTest, SealedWritesReadBackVerified)
{
    const std::wstring values[] = {L"", L"x", L"Caf\u00e9 = 5 ; [not a comment]", std::wstring(300, L'q')};
    for (const std::wstring& value : values) {
        SealString(value);
        EXPECT_EQ(RawValue(L"S", L"k").size(), 2 * value.size() + 2);

        CObfuscatedIniReader reader(true);
        ASSERT_TRUE(reader.Load(m_path));
        std::wstring read;
        ASSERT_TRUE(reader.GetString(L"S", L"k", read)) << Narrow(value);
        EXPECT_EQ(read, value);
        EXPECT_FALSE(reader.GetString(L"S", L"_k", read));
        EXPECT_EQ(reader.EntryCount(), 1u);
    }
    // A sealed line longer than the line reader's 1023 bytes arrives in pieces
    // and can no longer be verified.
    SealString(std::wstring(511, L'q'));
    CObfuscatedIniReader reader(true);
    ASSERT_TRUE(reader.Load(m_path));
    std::wstring read;
    EXPECT_FALSE(reader.GetString(L"S", L"k", read));

    // Integers, by a writer whose file is missing: it writes once it has its path.
    ASSERT_TRUE(::DeleteFileW(m_path.c_str()));
    CObfuscatedIniReader writer(true);
    EXPECT_FALSE(writer.WriteInt(L"Config", L"Idx", 1));
    EXPECT_FALSE(writer.Load(m_path));
    for (int32_t value : {-5, 0, INT32_MIN, INT32_MAX}) {
        ASSERT_TRUE(writer.WriteInt(L"Config", L"Idx", value));
        int32_t number = 99;
        ASSERT_TRUE(writer.GetInt(L"Config", L"Idx", number));
        EXPECT_EQ(number, value);
        CObfuscatedIniReader again(true);
        ASSERT_TRUE(again.Load(m_path));
        number = 99;
        ASSERT_TRUE(again.GetInt(L"Config", L"Idx", number));
        EXPECT_EQ(number, value);
        EXPECT_EQ(again.FindEntry(L"Config", L"Idx")->type, Plinth::kIniSealTypeInt);
    }
}

// Through a held handle a file ends as the system's profile writer leaves it by
// path, and what is written goes to the file held, not to its old name.
TEST_F(ObfuscatedIniReaderTest, HeldFileIsWrittenAsByPathAndOnlyThroughItsHandle)
{
    const char* const starts[] = {"", "[Config]\r\nOther=1\r\n",
                                  "[A]\r\nk=v\r\n[config]\r\n; note\r\n LastLogIdx = 5\r\n\r\n[B]\r\nx=y",
                                  "[Config]\r\nz=1"};
    const std::pair<const wchar_t*, const wchar_t*> keys[] = {{L"A", L"k"},
                                                              {L"Config", L"LastLogIdx"},
                                                              {L"Config", L"_LastLogIdx"},
                                                              {L"Config", L"Other"},
                                                              {L"Config", L"z"},
                                                              {L"B", L"x"},
                                                              {L"New", L"s"},
                                                              {L"New", L"_s"},
                                                              {L"Config", L"note"}};
    for (const char* start : starts) {
        SCOPED_TRACE(start);
        const std::wstring byPath = WriteText(start, L"path.ini");
        const std::wstring held = WriteText(start, L"held.ini");
        const std::wstring moved = m_folder.Path() + L"\\moved.ini";
        CObfuscatedIniReader pathWriter(true);
        pathWriter.Load(byPath);
        ASSERT_TRUE(pathWriter.WriteInt(L"Config", L"LastLogIdx", 7));
        ASSERT_TRUE(pathWriter.WriteString(L"New", L"s", L"text"));

        const Plinth::UniqueHandle file(::CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
        CObfuscatedIniReader heldWriter(true);
        ASSERT_TRUE(heldWriter.LoadHeld(file.get()));
        ASSERT_TRUE(::MoveFileW(held.c_str(), moved.c_str()));
        ASSERT_TRUE(heldWriter.WriteInt(L"Config", L"LastLogIdx", 7));
        ASSERT_TRUE(heldWriter.WriteString(L"New", L"s", L"text"));
        EXPECT_EQ(::GetFileAttributesW(held.c_str()), INVALID_FILE_ATTRIBUTES);
        for (const auto& [section, key] : keys) {
            wchar_t expected[256] = L"?";
            wchar_t written[256] = L"?";
            ::GetPrivateProfileStringW(section, key, L"-", expected, 256, byPath.c_str());
            ::GetPrivateProfileStringW(section, key, L"-", written, 256, moved.c_str());
            EXPECT_STREQ(written, expected) << Narrow(key);
        }
        CObfuscatedIniReader reader(true);
        ASSERT_TRUE(reader.LoadHeld(file.get()));
        int32_t index = 0;
        // The reader's sections keep the file's spelling.
        EXPECT_TRUE(reader.GetInt(L"Config", L"LastLogIdx", index) || reader.GetInt(L"config", L"LastLogIdx", index));
        EXPECT_EQ(index, 7);
        ::DeleteFileW(moved.c_str());
    }
}

TEST_F(ObfuscatedIniReaderTest, VerifiedOnlyModeHidesPlainEntries)
{
    for (bool verifiedOnly : {false, true}) {
        WriteText("[S]\nplain=1\n[T]\nx=y\n");
        CObfuscatedIniReader writer;
        writer.Load(m_path);
        ASSERT_TRUE(writer.WriteString(L"S", L"sealed", L"2"));

        CObfuscatedIniReader reader(verifiedOnly);
        ASSERT_TRUE(reader.Load(m_path));
        std::wstring value;
        EXPECT_EQ(reader.GetString(L"S", L"plain", value), !verifiedOnly);
        ASSERT_TRUE(reader.GetString(L"S", L"sealed", value));
        EXPECT_EQ(value, L"2");

        Plinth::IniSectionMap section = {{L"plain", L"old"}, {L"other", L"kept"}};
        ASSERT_TRUE(reader.GetSection(L"S", section));
        const Plinth::IniSectionMap expected = {{L"plain", L"1"}, {L"other", L"kept"}, {L"sealed", L"2"}};
        EXPECT_EQ(section, expected);
        EXPECT_FALSE(reader.GetSection(L"Missing", section));

        ASSERT_TRUE(reader.WriteString(L"S", L"plain", L"3"));
        EXPECT_TRUE(reader.GetString(L"S", L"plain", value));
        EXPECT_EQ(value, L"3");
    }
}

// Hand edits of a sealed entry: the digest covers the data line's hex bytes, not
// its two checksum digits; only a 74-character value with the magic is a
// header, and one that is not is a plain entry of its own.
TEST_F(ObfuscatedIniReaderTest, HandEditsVerifyOnlyWhereTheDigestAndHeaderHold)
{
    SealString(L"secret");
    const std::wstring data = RawValue(L"S", L"k");
    const std::wstring header = RawValue(L"S", L"_k");
    const auto flip = [](std::wstring text, size_t at) {
        text[at] = text[at] == L'0' ? L'1' : L'0';
        return text;
    };
    // The line edited, its new text, and whether "k" still verifies.
    const std::tuple<const wchar_t*, std::wstring, bool> cases[] = {
        {L"k", data, true},
        {L"k", flip(data, 0), false},
        {L"k", flip(data, 5), false},
        {L"k", flip(data, data.size() - 3), false},
        {L"k", flip(data, data.size() - 2), true},
        {L"k", flip(data, data.size() - 1), true},
        {L"_k", header.substr(0, 73), false},
        {L"_k", header + L"0", false},
        {L"_k", L"564b5247" + header.substr(8), false},
    };
    for (const auto& [key, text, verified] : cases) {
        SCOPED_TRACE(Narrow(text));
        WriteText("[S]\n_k=" + Narrow(header) + "\nk=" + Narrow(data) + "\n");
        ASSERT_TRUE(::WritePrivateProfileStringW(L"S", key, text.c_str(), m_path.c_str()));
        const bool headerEdited = key[0] == L'_';
        for (bool verifiedOnly : {false, true}) {
            CObfuscatedIniReader reader(verifiedOnly);
            ASSERT_TRUE(reader.Load(m_path));
            std::wstring value;
            EXPECT_EQ(reader.GetString(L"S", L"k", value), verified || !verifiedOnly) << verifiedOnly;
            EXPECT_EQ(value, verified ? L"secret" : verifiedOnly ? L"" : headerEdited ? data : text);
            value.clear();
            EXPECT_EQ(reader.GetString(L"S", L"_k", value), headerEdited && !verifiedOnly) << verifiedOnly;
            EXPECT_EQ(value, headerEdited && !verifiedOnly ? text : L"");
        }
    }

    WriteText("[S]\n_orphan=" + Narrow(header) + "\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_path));
    Plinth::IniSectionMap section;
    reader.GetSection(L"S", section);
    EXPECT_TRUE(section.empty());
    EXPECT_EQ(reader.EntryCount(), 0u);
}

// The first of duplicate keys wins; names split at their first "."; integers are
// the text's leading number; a second load starts empty.
TEST_F(ObfuscatedIniReaderTest, PlainEntriesFollowTheLookupRules)
{
    WriteText("[S]\nk=first\nk=second\n[S]\nk=third\nonly=here\n[a.b]\nk=1\n[a]\nb.k=2\n"
              "[N]\na= 42abc\nb=abc\nc=-7\nd=+8\ne=\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_path));
    const std::pair<std::pair<const wchar_t*, const wchar_t*>, const wchar_t*> strings[] = {
        {{L"S", L"k"}, L"first"}, {{L"a.b", L"k"}, L"2"}, {{L"a", L"b.k"}, L"2"}};
    for (const auto& [name, expected] : strings) {
        std::wstring value;
        EXPECT_TRUE(reader.GetString(name.first, name.second, value));
        EXPECT_EQ(value, expected) << Narrow(name.first);
    }
    Plinth::IniSectionMap section;
    ASSERT_TRUE(reader.GetSection(L"a.b", section));
    EXPECT_EQ(section[L"k"], L"1");
    const std::pair<const wchar_t*, int32_t> numbers[] = {{L"a", 42}, {L"b", 0}, {L"c", -7}, {L"d", 8}, {L"e", 0}};
    for (const auto& [key, expected] : numbers) {
        int32_t read = 99;
        EXPECT_TRUE(reader.GetInt(L"N", key, read));
        EXPECT_EQ(read, expected) << Narrow(key);
    }

    WriteText("[S]\nk=new\n");
    ASSERT_TRUE(reader.Load(m_path));
    std::wstring value;
    EXPECT_FALSE(reader.GetString(L"S", L"only", value));
    ASSERT_TRUE(reader.GetString(L"S", L"k", value));
    EXPECT_EQ(value, L"new");
}

TEST(IniSealTest, OpenReportsEachFailure)
{
    const uint8_t data[5] = {'h', 'e', 'l', 'l', 'o'};
    uint8_t encoded[5];
    uint8_t header[Plinth::kIniSealHeaderBytes];
    EXPECT_EQ(Plinth::SealIniValue(data, 5, 1, encoded, 4, header), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(Plinth::SealIniValue(data, 5, 1, encoded, 5, header), 0u);

    uint8_t plain[5] = {};
    EXPECT_EQ(Plinth::OpenIniValue(encoded, 5, header, nullptr, 0), 0u);
    EXPECT_EQ(Plinth::OpenIniValue(encoded, 5, header, plain, 4), static_cast<DWORD>(ERROR_MORE_DATA));
    ASSERT_EQ(Plinth::OpenIniValue(encoded, 5, header, plain, 5), 0u);
    EXPECT_EQ(0, std::memcmp(plain, data, 5));

    // Magic, length, digest, then the first data byte.
    for (size_t at : {size_t{0}, size_t{8}, size_t{20}, Plinth::kIniSealHeaderBytes}) {
        uint8_t h[Plinth::kIniSealHeaderBytes];
        uint8_t e[5];
        std::memcpy(h, header, sizeof(h));
        std::memcpy(e, encoded, sizeof(e));
        (at < sizeof(h) ? h[at] : e[0]) ^= 1;
        EXPECT_EQ(Plinth::OpenIniValue(e, 5, h, plain, 5), static_cast<DWORD>(ERROR_INVALID_DATA)) << at;
    }
    EXPECT_EQ(Plinth::OpenIniValue(encoded, 4, header, plain, 5), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST(IniSealTest, HexReading)
{
    // Text, bytes to read, result, and the bytes, each 0xEE before.
    const std::tuple<const wchar_t*, size_t, bool, std::vector<uint8_t>> cases[] = {
        {L"0AfF10C3", 3, true, {0x0a, 0xff, 0x10}},
        {L"0A", 3, true, {0x0a, 0xee, 0xee}},
        {L"0A1", 3, true, {0x0a, 0x01, 0xee}},
        {L"zz0A", 2, true, {0x00, 0x0a}},
        {L" A0B", 2, true, {0xa0, 0x0b}},
        {L"0A  ", 2, false, {0x0a, 0xee}},
        {L"", 2, true, {0xee, 0xee}},
    };
    for (const auto& [text, count, ok, expected] : cases) {
        std::vector<uint8_t> out(count, 0xee);
        EXPECT_EQ(Plinth::ReadIniHexBytes(text, out.data(), count), ok) << Narrow(text);
        EXPECT_EQ(out, expected) << Narrow(text);
    }
}

} // namespace
