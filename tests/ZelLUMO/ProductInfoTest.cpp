// The product-information records as the host receives them, without the
// product resource DLL, with every block counted at the task allocator.
#include <gtest/gtest.h>

#include <string>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "tools/TaskMemorySpy.h"
#include "zellumoap/ApplImpl.h"

using Plinth::ComPtr;

namespace {

constexpr wchar_t kSubstituteKey[] = L"Software\\Varkon\\ZEL\\AppInfo\\Substitute";
constexpr wchar_t kProductKeyPath[] = L"Software\\Varkon\\ZEL";

class ProductInfoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The resource DLL is looked for once per process, here in vain.
        ASSERT_TRUE(m_installDir.SetString(L"C:\\zel-test-no-such-folder"));
        m_gmtDate.Delete();
        ASSERT_TRUE(m_lastUpdate.SetString(L"2024-05-01"));
        ASSERT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, m_object.put_void()), S_OK);
    }

    ZelTest::ScopedRegistryValue m_installDir{HKEY_LOCAL_MACHINE, kProductKeyPath, L"Install Dir"};
    ZelTest::ScopedRegistryValue m_lastUpdate{HKEY_LOCAL_MACHINE, kProductKeyPath, L"Last Update"};
    ZelTest::ScopedRegistryValue m_version2{HKEY_LOCAL_MACHINE, kSubstituteKey, L"version2"};
    ZelTest::ScopedRegistryValue m_build{HKEY_LOCAL_MACHINE, kSubstituteKey, L"build"};
    ZelTest::ScopedRegistryValue m_gmtDate{HKEY_LOCAL_MACHINE, kSubstituteKey, L"gmtdate"};
    ComPtr<IVkApplicationInfo> m_object;
};

TEST_F(ProductInfoTest, SixRecordsWithTheVersionCutToThreeParts)
{
    const std::wstring sixtyThree(63, L'7');
    const struct
    {
        std::wstring version2;
        const wchar_t* build;
        std::wstring expected;
    } cases[] = {
        {L"1.2", L"3.4.5", L"1.2.3"},
        {L"1", L"2", L"1.2"},
        // Cut at the buffer's 64 units, here right after the dot.
        {sixtyThree, L"1", sixtyThree + L"."},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(m_version2.SetString(c.version2));
        ASSERT_TRUE(m_build.SetString(c.build));
        const ComPtr<ZelTools::CTaskMemorySpy> spy = ZelTools::CTaskMemorySpy::Create();
        ASSERT_TRUE(spy);
        ASSERT_EQ(::CoRegisterMallocSpy(spy.get()), S_OK);
        DWORD count = 0;
        VKPRODUCT_INFO* records = nullptr;
        long result = 0x5A5A5A5A;
        EXPECT_EQ(m_object->GetProductInfo(&count, &records, &result), S_OK);
        EXPECT_EQ(result, 0);
        ASSERT_EQ(count, 6u);
        ASSERT_NE(records, nullptr);
        // Without the resource DLL no record has a name, and the last three no value.
        const std::wstring values[] = {L"17.0", c.expected, L"2024-05-01", L"<null>", L"<null>", L"<null>"};
        for (DWORD i = 0; i < count; ++i) {
            EXPECT_EQ(records[i].pwszName, nullptr) << i;
            EXPECT_EQ(records[i].pwszValue ? records[i].pwszValue : L"<null>", values[i]) << i;
            ::CoTaskMemFree(records[i].pwszValue);
        }
        // The host frees what it was given; nothing else may be left.
        ::CoTaskMemFree(records);
        EXPECT_EQ(spy->LiveBlocks(), 0u);
        EXPECT_EQ(spy->StrayFrees(), 0u);
        EXPECT_EQ(::CoRevokeMallocSpy(), S_OK);
    }
}

} // namespace
