#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "plinth/ByteBuffer.h"
#include "plinth/FileVersionInfo.h"
#include "plinth/Paths.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"

namespace {

std::wstring SelfPath()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

TEST(FileVersionInfoTest, TakesTheFirstTranslationThatHasTheValue)
{
    Plinth::FileVersionInfo info;
    EXPECT_TRUE(info.GetString(L"ProductVersion").empty());
    ASSERT_TRUE(info.Load(SelfPath()));
    EXPECT_EQ(info.GetString(L"ProductVersion"), L"9.8.7.6-de");
    EXPECT_EQ(info.GetString(L"FileDescription"), L"English description");
    EXPECT_TRUE(info.GetString(L"CompanyName").empty());
    // A second load keeps the first resource.
    EXPECT_FALSE(info.Load(ZelTest::BinPath(L"ZelLumoAp.dll")));
    EXPECT_EQ(info.GetString(L"FileDescription"), L"English description");

    Plinth::FileVersionInfo missing;
    EXPECT_FALSE(missing.Load(ZelTest::BinPath(L"no-such-file.dll")));
}

using Bytes = std::vector<BYTE>;

// One block of a version resource: length, value length, type, key, the
// value and the children, each starting on a 4-byte boundary.
Bytes Block(const wchar_t* key, WORD type, const Bytes& value, WORD valueLength,
            const std::vector<Bytes>& children = {})
{
    Bytes block(6);
    const auto* text = reinterpret_cast<const BYTE*>(key);
    block.insert(block.end(), text, text + (std::wcslen(key) + 1) * sizeof(wchar_t));
    block.resize((block.size() + 3) & ~size_t{3});
    block.insert(block.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        block.resize((block.size() + 3) & ~size_t{3});
        block.insert(block.end(), child.begin(), child.end());
    }
    const WORD header[] = {static_cast<WORD>(block.size()), valueLength, type};
    std::memcpy(block.data(), header, sizeof(header));
    return block;
}

Bytes Text(const wchar_t* text, size_t chars)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text);
    return Bytes(bytes, bytes + chars * sizeof(wchar_t));
}

// A value stored without its terminator ends at its length, not at the next zero.
TEST(FileVersionInfoTest, AValueEndsAtItsLength)
{
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    const auto* fixedBytes = reinterpret_cast<const BYTE*>(&fixed);
    const WORD translation[] = {0x0409, 0x04B0};
    const auto* translationBytes = reinterpret_cast<const BYTE*>(translation);
    const Bytes resource = Block(
        L"VS_VERSION_INFO", 0, Bytes(fixedBytes, fixedBytes + sizeof(fixed)), sizeof(fixed),
        {Block(L"StringFileInfo", 1, {}, 0,
               {Block(L"040904B0", 1, {}, 0,
                      {Block(L"FileVersion", 1, Text(L"1.23", 4), 4), Block(L"CompanyName", 1, Text(L"X", 2), 2)})}),
         Block(L"VarFileInfo", 1, {}, 0,
               {Block(L"Translation", 0, Bytes(translationBytes, translationBytes + sizeof(translation)), 4)})});

    ZelTest::TempFolder folder(L"version");
    const std::wstring copy = folder.Path() + L"\\carrier.exe";
    ASSERT_TRUE(::CopyFileW(SelfPath().c_str(), copy.c_str(), FALSE));
    const HANDLE update = ::BeginUpdateResourceW(copy.c_str(), TRUE);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(::UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<BYTE*>(resource.data()),
                                  static_cast<DWORD>(resource.size())));
    ASSERT_TRUE(::EndUpdateResourceW(update, FALSE));
    Plinth::FileVersionInfo info;
    ASSERT_TRUE(info.Load(copy));
    EXPECT_EQ(info.GetString(L"FileVersion"), L"1.23");
    EXPECT_EQ(info.GetString(L"CompanyName"), L"X");
}

// Answers the system folder query with a failure until told otherwise.
class ScriptedShell : public Plinth::ShlObjAPI
{
public:
    HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR* path) override
    {
        ++calls;
        if (fail)
            return E_FAIL;
        return Plinth::ShlObjAPI::SHGetKnownFolderPath(folder, flags, token, path);
    }
    bool fail = true;
    int calls = 0;
};

TEST(FileVersionInfoTest, SystemFileFolderIsAskedAgainAfterAFailureAndCachedAfterSuccess)
{
    auto shell = std::make_shared<ScriptedShell>();
    Plinth::SystemFileVersionInfo failing(shell);
    EXPECT_FALSE(failing.Load(L"kernel32.dll"));
    EXPECT_FALSE(failing.Load(L"kernel32.dll"));
    EXPECT_EQ(shell->calls, 2);

    shell->fail = false;
    Plinth::SystemFileVersionInfo system(shell);
    ASSERT_TRUE(system.Load(L"kernel32.dll"));
    EXPECT_FALSE(system.GetString(L"FileVersion").empty());
    system.Load(L"kernel32.dll");
    EXPECT_EQ(shell->calls, 3);
}

TEST(PathsTest, ModuleDirectoryAndDirectoriesMadeWholeOrNotAtAll)
{
    std::wstring directory;
    std::wstring file;
    ASSERT_TRUE(Plinth::GetModuleDirectory(nullptr, directory, false, file));
    EXPECT_EQ(directory, ZelTest::BinDir());
    EXPECT_EQ(file, L"plinth_tests.exe");
    ASSERT_TRUE(Plinth::GetModuleDirectory(nullptr, directory, true, file));
    EXPECT_EQ(directory, ZelTest::BinDir() + L"\\");

    // Relative paths start at the current directory; one that no longer fits
    // when joined to it is refused, since a cut path would name another directory.
    ZelTest::TempFolder root(L"paths");
    wchar_t saved[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(::SetCurrentDirectoryW(root.Path().c_str()));
    DWORD code = 1;
    EXPECT_TRUE(Plinth::CreateDirectoryPath(L"a\\b", &code));
    EXPECT_EQ(code, 0u);
    EXPECT_NE(::GetFileAttributesW((root.Path() + L"\\a\\b").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(Plinth::CreateDirectoryPath(L"a\\b", &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    EXPECT_FALSE(Plinth::CreateDirectoryPath(nullptr, &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Plinth::CreateDirectoryPath(L"", nullptr));
    const std::wstring tooLong(MAX_PATH - 5, L'd');
    EXPECT_FALSE(Plinth::CreateDirectoryPath(tooLong.c_str(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_CANNOT_MAKE));
    EXPECT_EQ(::GetFileAttributesW(tooLong.substr(0, 100).c_str()), INVALID_FILE_ATTRIBUTES);
    ::SetCurrentDirectoryW(saved);
}

TEST(ByteBufferTest, WritesAtItsPositionAndRefusesBadInput)
{
    // Made from bytes, it writes from the start.
    Plinth::CByteBuffer buffer("0123456789", 10);
    ASSERT_TRUE(buffer.Append("X", 1));
    buffer.SetPosition(4);
    ASSERT_TRUE(buffer.Append("ab", 2));
    buffer.SetPosition(1000);
    ASSERT_TRUE(buffer.Append("Z", 1));
    EXPECT_FALSE(buffer.Append(nullptr, 1));
    EXPECT_FALSE(buffer.Append("x", -1));
    EXPECT_TRUE(buffer.Append("x", 0));
    ASSERT_EQ(buffer.Size(), 11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 11), "X123ab6789Z");
    buffer.Clear();
    EXPECT_EQ(buffer.Size(), 0);
    EXPECT_EQ(buffer.Data(), nullptr);
}

} // namespace
