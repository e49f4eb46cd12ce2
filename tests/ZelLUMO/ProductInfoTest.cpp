// The product information as the host receives it, every block counted at the task allocator.
#include <gtest/gtest.h>

#include <string>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "tools/TaskMemorySpy.h"
#include "zellumoap/ApplImpl.h"

namespace {

constexpr wchar_t kSubstituteKey[] = L"Software\\Varkon\\ZEL\\AppInfo\\Substitute";
constexpr wchar_t kProductKeyPath[] = L"Software\\Varkon\\ZEL";

TEST(ProductInfoTest, VersionKeepsThreePartsAndTheHostFreesEveryBlockLeft)
{
    ZelTest::ScopedRegistryValue installDir{HKEY_LOCAL_MACHINE, kProductKeyPath, L"Install Dir"};
    ZelTest::ScopedRegistryValue lastUpdate{HKEY_LOCAL_MACHINE, kProductKeyPath, L"Last Update"};
    ZelTest::ScopedRegistryValue version2{HKEY_LOCAL_MACHINE, kSubstituteKey, L"version2"};
    ZelTest::ScopedRegistryValue build{HKEY_LOCAL_MACHINE, kSubstituteKey, L"build"};
    ZelTest::ScopedRegistryValue gmtDate{HKEY_LOCAL_MACHINE, kSubstituteKey, L"gmtdate"};
    ASSERT_TRUE(installDir.SetString(ZelTest::BinDir()));
    ASSERT_TRUE(lastUpdate.SetString(L"2024-05-01"));
    ASSERT_TRUE(version2.SetString(L"1.2"));
    ASSERT_TRUE(build.SetString(L"3.4.5"));
    gmtDate.Delete();
    Plinth::ComPtr<IVkApplicationInfo> object;
    ASSERT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, object.put_void()), S_OK);

    const Plinth::ComPtr<ZelTools::CTaskMemorySpy> spy = ZelTools::CTaskMemorySpy::Create();
    ASSERT_TRUE(spy);
    ASSERT_EQ(::CoRegisterMallocSpy(spy.get()), S_OK);
    DWORD count = 0;
    VKPRODUCT_INFO* records = nullptr;
    long result = 0x5A5A5A5A;
    EXPECT_EQ(object->GetProductInfo(&count, &records, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(count, 6u);
    ASSERT_NE(records, nullptr);
    const wchar_t* const expected[][2] = {
        {L"Major.Minor", L"17.0"}, {L"Version", L"1.2.3"}, {L"Last Update", L"2024-05-01"}, {}, {}, {}};
    for (DWORD i = 0; i < count; ++i) {
        for (int part = 0; part < 2; ++part) {
            wchar_t* text = part ? records[i].pwszValue : records[i].pwszName;
            EXPECT_EQ(std::wstring(text ? text : L"<null>"), expected[i][part] ? expected[i][part] : L"<null>") << i;
            ::CoTaskMemFree(text);
        }
    }
    // The host frees what it was given; nothing else may be left.
    ::CoTaskMemFree(records);
    EXPECT_EQ(spy->LiveBlocks(), 0u);
    EXPECT_EQ(spy->StrayFrees(), 0u);
    EXPECT_EQ(::CoRevokeMallocSpy(), S_OK);
}

} // namespace
