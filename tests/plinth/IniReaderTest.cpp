#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "plinth/BaseIniReader.h"
#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"

namespace {

struct Added
{
    std::wstring section;
    std::wstring key;
    std::wstring value;
    bool overwrite;
    bool operator==(const Added& other) const
    {
        return section == other.section && key == other.key && value == other.value && overwrite == other.overwrite;
    }
};

std::ostream& operator<<(std::ostream& out, const Added& a)
{
    return out << "[" << std::string(a.section.begin(), a.section.end()) << "] "
               << std::string(a.key.begin(), a.key.end()) << "=" << std::string(a.value.begin(), a.value.end())
               << (a.overwrite ? " (overwrite)" : "");
}

// Records what the base hands to the derived class.
class RecordingReader : public Plinth::CBaseIniReader
{
public:
    bool GetIntByName(const std::wstring&, int32_t&) const override { return false; }
    bool GetStringByName(const std::wstring&, std::wstring&) const override { return false; }
    bool GetSection(const std::wstring&, Plinth::IniSectionMap&) const override { return false; }
    bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool overwrite) override
    {
        added.push_back({section, key, value, overwrite});
        return true;
    }

    std::vector<Added> added;
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
    struct LineCase
    {
        const char* text;
        std::vector<Added> expected;
        uint32_t sections;
    };
    const LineCase cases[] = {
        {"; comment=1\n  ;indented=2\nkey = a ; b \n", {{L"", L"key", L"a ; b", false}}, 0},
        {"  key  =  a=b  \r\n", {{L"", L"key", L"a=b", false}}, 0},
        {"=value\n", {{L"", L"", L"value", false}}, 0},
        {"key=\n", {{L"", L"key", L"", false}}, 0},
        {"k=\"quoted\"\n", {{L"", L"k", L"\"quoted\"", false}}, 0},
        {"before=1\n[  Sec  ]\nk=v", {{L"", L"before", L"1", false}, {L"Sec", L"k", L"v", false}}, 1},
        {"[A]\n[]\n[ \t ]\nk=v\n", {{L"A", L"k", L"v", false}}, 1},
        {"[A]\n[B]\nk=v\n", {{L"B", L"k", L"v", false}}, 2},
        {"[a=b]\nno equals here\n[Open\nk=v\n", {{L"a=b", L"k", L"v", false}}, 1},
        {"\n   \n\t\r\n", {}, 0},
    };
    int index = 0;
    for (const LineCase& c : cases) {
        RecordingReader reader;
        ASSERT_TRUE(reader.Load(WriteFile(L"lines" + std::to_wstring(index++) + L".ini", c.text))) << c.text;
        EXPECT_EQ(reader.added, c.expected) << c.text;
        EXPECT_EQ(reader.EntryCount(), c.expected.size()) << c.text;
        EXPECT_EQ(reader.SectionCount(), c.sections) << c.text;
    }
}

// The line reader takes at most 1023 bytes at a time; the rest of a longer line
// is parsed as a line of its own.
TEST_F(IniReaderTest, LongLinesArriveInPieces)
{
    const std::wstring first(1021, L'x');
    struct LengthCase
    {
        std::string line;
        std::vector<Added> expected;
    };
    const LengthCase cases[] = {
        {"a=" + std::string(1021, 'x'), {{L"", L"a", first, false}}},
        {"a=" + std::string(1021, 'x') + "=", {{L"", L"a", first, false}, {L"", L"", L"", false}}},
        {"a=" + std::string(1021, 'x') + "b=" + std::string(475, 'y'),
         {{L"", L"a", first, false}, {L"", L"b", std::wstring(475, L'y'), false}}},
    };
    for (const LengthCase& c : cases) {
        for (const char* ending : {"\n", "\r\n"}) {
            RecordingReader reader;
            ASSERT_TRUE(reader.Load(WriteFile(L"long.ini", c.line + ending + "z=1\n")));
            std::vector<Added> expected = c.expected;
            expected.push_back({L"", L"z", L"1", false});
            EXPECT_EQ(reader.added, expected) << "line of " << c.line.size() << " bytes";
        }
    }
}

TEST_F(IniReaderTest, SecondLoadStartsInTheUnnamedSection)
{
    RecordingReader reader;
    ASSERT_TRUE(reader.Load(WriteFile(L"first.ini", "[Old]\nk=v\n")));
    ASSERT_TRUE(reader.Load(WriteFile(L"second.ini", "top=1\n[New]\nx=y\n")));
    const std::vector<Added> expected = {
        {L"Old", L"k", L"v", false}, {L"", L"top", L"1", false}, {L"New", L"x", L"y", false}};
    EXPECT_EQ(reader.added, expected);
}

TEST_F(IniReaderTest, MissingFileKeepsThePathAndAWriteCreatesIt)
{
    const std::wstring path = m_folder.Path() + L"\\new.ini";
    RecordingReader reader;
    EXPECT_FALSE(reader.Load(path));
    EXPECT_EQ(reader.Path(), path);

    ASSERT_TRUE(reader.WriteString(L"S", L"k", L"v"));
    ASSERT_TRUE(reader.WriteInt(L"S", L"n", -5));
    const std::vector<Added> expected = {{L"S", L"k", L"v", true}, {L"S", L"n", L"-5", true}};
    EXPECT_EQ(reader.added, expected);

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
