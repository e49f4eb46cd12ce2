// Trust between the product's modules: only callers and servers signed by a
// trusted publisher get objects.
#include <gtest/gtest.h>

#include <string>

#include "TestSigning.h"
#include "VkCreateInstance.h"
#include "ZelLumoAp.h"
#include "plinth/Owners.h"
#include "support/ChildProcess.h"
#include "support/TestRegistry.h"
#include "support/TrustedPublishers.h"

namespace {

// Runs a probe program and returns what it printed.
std::string RunProbe(const wchar_t* name)
{
    std::string output = ZelTest::RunChild(name, L"").output;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return output;
}

class TrustTest : public ::testing::Test
{
protected:
    ZelTest::ScopedTrustedPublishers m_trusted;
};

TEST_F(TrustTest, OnlyATrustedCallerGetsAnObject)
{
    const struct
    {
        const wchar_t* probe;
        const char* expected;
    } cases[] = {
        {L"trust_probe.exe", "0x00000000 0x00000000"},
        {L"trust_probe_unsigned.exe", "0x80070005 0x00000000"},
        {L"trust_probe_untrusted.exe", "0x80070005 0x00000000"},
        {L"trust_probe_tampered.exe", "0x80070005 0x00000000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunProbe(c.probe), c.expected) << std::string(c.probe, c.probe + std::wcslen(c.probe));
}

// A missing or broken list is swept with the other sealed values.
TEST(TrustWithoutPublishersTest, NothingIsTrustedWhenTheListNamesOthers)
{
    ZelTest::ScopedTrustedPublishers others({kUntrustedThumbprint});
    EXPECT_EQ(RunProbe(L"trust_probe.exe"), "0x80070005 0x00000000");
    EXPECT_EQ(RunProbe(L"trust_probe_untrusted.exe"), "0x00000000 0x00000000");
}

// The component checker serves through the host's factory; its registration
// names the file that must verify before COM may load it.
TEST_F(TrustTest, VerifiedCreationRefusesAnUntrustedServerWithoutLoadingIt)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    const std::wstring key = L"CLSID\\{5E3B42BC-7470-413C-8857-98EC8AA2F2F8}\\InprocServer32";
    ZelTest::ScopedRegistryTree classKey(HKEY_CLASSES_ROOT, key);
    ASSERT_TRUE(classKey.SetString(L"ThreadingModel", L"Both"));

    ASSERT_TRUE(classKey.SetString(nullptr, ZelTest::BinPath(L"VkComponentChecker.dll")));
    Plinth::ComPtr<IVkVersion> checker;
    EXPECT_EQ(VkCreateInstanceVerified(CLSID_ComponentVersionProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IVkVersion,
                                       checker.put_void(), TRUE),
              S_OK);
    EXPECT_TRUE(checker);
    checker.reset();

    ASSERT_TRUE(classKey.SetString(nullptr, ZelTest::BinPath(L"VkComponentChecker.unsigned.dll")));
    void* refused = reinterpret_cast<void*>(1);
    EXPECT_EQ(VkCreateInstanceVerified(CLSID_ComponentVersionProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IVkVersion,
                                       &refused, TRUE),
              E_ACCESSDENIED);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"VkComponentChecker.unsigned.dll"), nullptr);
    EXPECT_EQ(VkCreateInstanceVerified(CLSID_ComponentVersionProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IVkVersion,
                                       nullptr, TRUE),
              E_POINTER);
}

} // namespace
