// A server file that verified is not verified again while this process holds
// it, so whatever could make its path name other bytes must either be refused
// while it is held or be noticed at the next verification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSigning.h"
#include "zelcom/VerificationCache.h"

namespace {

const std::vector<std::wstring> kTrusted{kTrustedThumbprint};

HRESULT Verify(const std::wstring& path, std::wstring& reason, const std::vector<std::wstring>& trusted = kTrusted)
{
    Plinth::UniqueHandle file;
    return OpenVerifiedFileOnce(path.c_str(), trusted, file, reason);
}

bool CopyProbe(const wchar_t* probe, const std::wstring& to)
{
    return ::CopyFileW(ZelTest::BinPath(probe).c_str(), to.c_str(), FALSE) != FALSE;
}

// Flips a letter of the DOS stub's message, which the signature covers, as a
// writer sharing everything would; false when no writer may open the file.
bool Rewrite(const std::wstring& path)
{
    Plinth::UniqueHandle file(Plinth::HandleOrNull(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                                 nullptr, OPEN_EXISTING, 0, nullptr)));
    constexpr LONG kStubLetter = 78;
    char letter = 0;
    DWORD done = 0;
    return file && ::SetFilePointer(file.get(), kStubLetter, nullptr, FILE_BEGIN) == kStubLetter &&
           ::ReadFile(file.get(), &letter, 1, &done, nullptr) && (letter ^= 0x20) &&
           ::SetFilePointer(file.get(), kStubLetter, nullptr, FILE_BEGIN) == kStubLetter &&
           ::WriteFile(file.get(), &letter, 1, &done, nullptr) && done == 1;
}

TEST(VerificationCacheTest, APathThatNamesOtherBytesIsVerifiedAnew)
{
    ZelTest::TempFolder folder(L"held");
    const std::wstring path = folder.Path() + L"\\server.exe";
    const std::wstring moved = path + L".old";
    std::wstring reason;
    ASSERT_TRUE(CopyProbe(L"trust_probe.exe", path));
    ASSERT_EQ(Verify(path, reason), S_OK) << std::string(reason.begin(), reason.end());

    // Held once verified, with no handle of the caller's left open.
    EXPECT_FALSE(Rewrite(path));
    EXPECT_EQ(Verify(path, reason), S_OK);

    EXPECT_EQ(Verify(path, reason, {kUntrustedThumbprint}), E_ACCESSDENIED);
    EXPECT_NE(reason.find(L"is not a trusted publisher"), std::wstring::npos);
    EXPECT_EQ(Verify(path, reason), S_OK);

    // An uninstallation may rename the held file; what then stands at its
    // name is another file. Once that fails, the first is let go.
    ASSERT_TRUE(::MoveFileW(path.c_str(), moved.c_str()));
    ASSERT_TRUE(CopyProbe(L"trust_probe_unsigned.exe", path));
    EXPECT_EQ(Verify(path, reason), E_ACCESSDENIED);
    EXPECT_EQ(reason, L"the file is not signed");
    EXPECT_TRUE(Rewrite(moved));

    // A file moved over the held one: refused while it is open here (on this
    // platform), else noticed.
    ASSERT_TRUE(CopyProbe(L"trust_probe.exe", path));
    ASSERT_EQ(Verify(path, reason), S_OK);
    ASSERT_TRUE(CopyProbe(L"trust_probe_tampered.exe", moved));
    const bool replaced = ::MoveFileExW(moved.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    EXPECT_EQ(Verify(path, reason), replaced ? E_ACCESSDENIED : S_OK);
}

} // namespace
