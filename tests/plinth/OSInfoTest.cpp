#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "plinth/OSInfo.h"

using namespace Plinth::internal;

namespace {

// The system a scripted provider describes, and the questions it was asked.
struct ScriptedSystem
{
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD minor = 0;
    WORD servicePack = 0;
    std::vector<std::string> asked;
    std::wstring version;
};

class ScriptedVersionAPI
{
public:
    BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask)
    {
        if (typeMask == VER_PLATFORMID)
            return info->dwPlatformId == system->platform;
        if (typeMask == VER_SERVICEPACKMAJOR) {
            system->asked.push_back("sp" + std::to_string(info->wServicePackMajor));
            return info->wServicePackMajor == system->servicePack;
        }
        const bool less = (conditionMask & 0x7) == VER_LESS;
        system->asked.push_back((less ? "<" : "=") + std::to_string(info->dwMinorVersion));
        return less ? system->minor < info->dwMinorVersion : system->minor == info->dwMinorVersion;
    }
    std::shared_ptr<ScriptedSystem> system = std::make_shared<ScriptedSystem>();
};

using Proxy = OSInfoProxy<ScriptedVersionAPI>;

// Reads the core library's version from the script; fails while it is empty.
class ScriptedImpl : public Proxy::_Impl
{
public:
    explicit ScriptedImpl(const ScriptedVersionAPI& api) : Proxy::_Impl(api), m_system(api.system) {}
    bool ReadSystemFileVersion(std::wstring& productVersion) override
    {
        productVersion = m_system->version;
        return !productVersion.empty();
    }

private:
    std::shared_ptr<ScriptedSystem> m_system;
};

struct Scripted
{
    explicit Scripted(const wchar_t* version) { api.system->version = version; }
    ScriptedVersionAPI api;
    std::unique_ptr<Proxy> proxy = std::make_unique<Proxy>(api, std::make_shared<ScriptedImpl>(api));
};

TEST(OSInfoTest, NTVersionsMapToKindsAndProbeOnlyTheirServicePacks)
{
    // The core library's version, the kind and flag, and the service packs probed.
    const std::tuple<const wchar_t*, DWORD, DWORD, std::vector<std::string>> cases[] = {
        {L"6.1.7601.2", OSKindNT61, 1, {"sp1"}},
        {L"10.0", OSKindNT10, 1, {}},
        {L"5.0.2195.6717", OSKindNT50, 0, {"sp4", "sp3", "sp2", "sp1"}},
        {L"5.1.2600", OSKindNT5x, 1, {"sp3", "sp2", "sp1"}},
        {L"6.0.6002", OSKindNT60, 1, {"sp2", "sp1"}},
        {L"6.3.9600", OSKindNT6x, 1, {}},
        {L"4.0.1381", OSKindNTOld, 0, {}},
        {L"11.0.1", OSKindOther, 1, {}},
    };
    for (const auto& [version, expectedKind, expectedFlag, probes] : cases) {
        Scripted s(version);
        DWORD kind = 0;
        DWORD flag = 0;
        ASSERT_TRUE(s.proxy->GetOSKindAndFlag(kind, flag));
        EXPECT_EQ(kind, expectedKind);
        EXPECT_EQ(flag, expectedFlag);
        EXPECT_EQ(s.api.system->asked, probes);
    }

    Scripted win7(L"6.1.7601.2");
    win7.api.system->servicePack = 1;
    DWORD parts[4];
    ASSERT_TRUE(win7.proxy->GetSystemFileVersion(parts));
    EXPECT_EQ(std::vector<DWORD>(parts, parts + 4), (std::vector<DWORD>{6, 1, 7601, 2}));
    DWORD major = 0;
    DWORD minor = 0;
    WORD sp = 0;
    ASSERT_TRUE(win7.proxy->GetOSVersion(major, minor, sp));
    EXPECT_EQ(sp, 1);

    Scripted other(L"11.0");
    EXPECT_FALSE(other.proxy->GetOSVersion(major, minor, sp));
    EXPECT_EQ(major, 0u);
}

TEST(OSInfoTest, NineXMinorVersionIsFoundByBisection)
{
    Scripted s(L"4.10.2222");
    s.api.system->platform = VER_PLATFORM_WIN32_WINDOWS;
    s.api.system->minor = 10;
    EXPECT_EQ(s.proxy->GetOSKind(), static_cast<DWORD>(OSKind9xMid));
    const std::vector<std::string> asked = {"<8", "<16", "<12", "<10", "=11"};
    EXPECT_EQ(s.api.system->asked, asked);

    const std::pair<DWORD, DWORD> cases[] = {
        {0, OSKind9x0}, {1, OSKind9xMid}, {89, OSKind9xMid}, {90, OSKind9xLate}, {99, OSKind9xLate}};
    for (const auto& [minor, kind] : cases) {
        Scripted nine(L"4.0");
        nine.api.system->platform = VER_PLATFORM_WIN32_WINDOWS;
        nine.api.system->minor = minor;
        DWORD major = 0;
        DWORD read = 0;
        WORD sp = 0;
        ASSERT_TRUE(nine.proxy->GetOSVersion(major, read, sp)) << minor;
        EXPECT_EQ(major, 4u);
        EXPECT_EQ(read, minor);
        EXPECT_EQ(nine.proxy->GetOSKind(), kind);
    }
}

TEST(OSInfoTest, FailedComputationIsTriedAgainAndSharedByCopies)
{
    Scripted s(L"");
    EXPECT_EQ(s.proxy->GetKindFlag(), 2u);
    EXPECT_EQ(s.proxy->GetOSKind(), 0u);
    for (const wchar_t* bad : {L"6.x.1", L"6..1", L"."}) {
        s.api.system->version = bad;
        EXPECT_EQ(s.proxy->GetKindFlag(), 2u) << std::string(bad, bad + wcslen(bad));
    }
    s.api.system->platform = 3;
    s.api.system->version = L"6.1";
    EXPECT_EQ(s.proxy->GetOSKind(), 0u);

    s.api.system->platform = VER_PLATFORM_WIN32_NT;
    Proxy copy(*s.proxy);
    s.proxy.reset();
    EXPECT_EQ(copy.GetOSKind(), static_cast<DWORD>(OSKindNT61));
    s.api.system->version = L"10.0";
    EXPECT_EQ(copy.GetOSKind(), static_cast<DWORD>(OSKindNT61));
}

} // namespace
