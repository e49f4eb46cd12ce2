#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "plinth/BaseIniReader.h"
#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"

namespace {

using Entries = std::vector<std::wstring>;

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
    std::wstring WriteFile(const std::wstring& name, const std::string& bytes)
    {
        const std::wstring path = m_folder.Path() + L"\\" + name;
        Plinth::UniqueHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        return path;
    }

    ZelTest::TempFolder m_folder{L"plinth-ini"};
};

TEST_F(IniReaderTest, LineRules)
{
    const struct
    {
        const char* text;
        Entries expected;
        uint32_t sections;
    } cases[] = {
        {"; comment=1\n  ;indented=2\nkey = a ; b \n", {L"|key=a ; b"}, 0},
        {"  key  =  a=b  \r\n", {L"|key=a=b"}, 0},
        {"=value\nkey=\nk=\"quoted\"\n", {L"|=value", L"|key=", L"|k=\"quoted\""}, 0},
        {"before=1\n[  Sec  ]\nk=v", {L"|before=1", L"Sec|k=v"}, 1},
        {"[A]\n[]\n[ \t ]\nk=v\n", {L"A|k=v"}, 1},
        {"[A]\n[B]\nk=v\n", {L"B|k=v"}, 2},
        {"[a=b]\nno equals here\n[Open\nk=v\n", {L"a=b|k=v"}, 1},
        {"\n   \n\t\r\n", {}, 0},
    };
    for (const auto& c : cases) {
        RecordingReader reader;
        ASSERT_TRUE(reader.Load(WriteFile(L"lines.ini", c.text))) << c.text;
        EXPECT_EQ(reader.added, c.expected) << c.text;
        EXPECT_EQ(reader.EntryCount(), c.expected.size()) << c.text;
        EXPECT_EQ(reader.SectionCount(), c.sections) << c.text;
    }
}

// The line reader takes at most 1023 bytes at a time; the rest of a longer line
// is parsed as a line of its own.
TEST_F(IniReaderTest, LongLinesArriveInPieces)
{
    const std::string x(1021, 'x');
    const std::wstring first = L"|a=" + std::wstring(1021, L'x');
    const struct
    {
        std::string line;
        Entries expected;
    } cases[] = {
        {"a=" + x, {first, L"|z=1"}},
        {"a=" + x + "=", {first, L"|=", L"|z=1"}},
        {"a=" + x + "b=" + std::string(475, 'y'), {first, L"|b=" + std::wstring(475, L'y'), L"|z=1"}},
    };
    for (const auto& c : cases) {
        for (const char* ending : {"\n", "\r\n"}) {
            RecordingReader reader;
            ASSERT_TRUE(reader.Load(WriteFile(L"long.ini", c.line + ending + "z=1\n")));
            EXPECT_EQ(reader.added, c.expected) << "line of " << c.line.size() << " bytes";
        }
    }
}

TEST_F(IniReaderTest, SecondLoadStartsInTheUnnamedSection)
{
    RecordingReader reader;
    ASSERT_TRUE(reader.Load(WriteFile(L"first.ini", "[Old]\nk=v\n")));
    ASSERT_TRUE(reader.Load(WriteFile(L"second.ini", "top=1\n[New]\nx=y\n")));
    EXPECT_EQ(reader.added, (Entries{L"Old|k=v", L"|top=1", L"New|x=y"}));
}

TEST_F(IniReaderTest, MissingFileKeepsThePathAndAWriteCreatesIt)
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
}

TEST_F(IniReaderTest, FileThatCannotBeOpenedEmptiesThePath)
{
    const std::wstring path = WriteFile(L"locked.ini", "k=v\n");
    Plinth::UniqueHandle lock(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);
    RecordingReader reader;
    EXPECT_FALSE(reader.Load(path));
    EXPECT_TRUE(reader.Path().empty());
    EXPECT_FALSE(reader.WriteString(L"S", L"k", L"v"));
    EXPECT_FALSE(reader.Load(L""));
    EXPECT_TRUE(reader.added.empty());
}

} // namespace
