// Ownership of the product-information collector, counted at the COM task
// allocator through a malloc spy.
#include <gtest/gtest.h>

#include "tools/TaskMemorySpy.h"
#include "zellumoap/SVkProductInfo.h"

namespace {

class SVkProductInfoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_spy);
        ASSERT_EQ(::CoRegisterMallocSpy(m_spy.get()), S_OK);
    }
    void TearDown() override
    {
        EXPECT_EQ(::CoRevokeMallocSpy(), S_OK);
        EXPECT_EQ(m_spy->StrayFrees(), 0u);
    }

    Plinth::ComPtr<ZelTools::CTaskMemorySpy> m_spy = ZelTools::CTaskMemorySpy::Create();
};

TEST_F(SVkProductInfoTest, DestroyedWithoutDetachFreesEverythingOnce)
{
    {
        CSVkProductInfo info(3);
        info.SetInfo(0, L"Version", L"17.0");
        info.SetInfo(2, L"Last Update", nullptr);
        EXPECT_EQ(m_spy->Allocations(), 1u + 3u);
    }
    EXPECT_EQ(m_spy->Frees(), m_spy->Allocations());
    EXPECT_EQ(m_spy->LiveBlocks(), 0u);
}

TEST_F(SVkProductInfoTest, DetachHandsOverArrayAndStrings)
{
    tagVKPRODUCT_INFO* records = nullptr;
    {
        CSVkProductInfo info(3);
        info.SetInfo(1, L"Major.Minor", L"17.0");
        info.SetInfo(3, L"beyond", L"the count");
        EXPECT_EQ(m_spy->Allocations(), 1u + 2u);
        records = info.Detach();
        EXPECT_EQ(info.Detach(), nullptr);
    }
    EXPECT_EQ(m_spy->Frees(), 0u);
    ASSERT_NE(records, nullptr);
    EXPECT_STREQ(records[1].pwszName, L"Major.Minor");
    EXPECT_STREQ(records[1].pwszValue, L"17.0");

    // The host frees what it received.
    for (int i = 0; i < 3; ++i) {
        ::CoTaskMemFree(records[i].pwszName);
        ::CoTaskMemFree(records[i].pwszValue);
    }
    ::CoTaskMemFree(records);
    EXPECT_EQ(m_spy->LiveBlocks(), 0u);
}

TEST_F(SVkProductInfoTest, EmptyCollectorOwnsNothing)
{
    {
        CSVkProductInfo info(0);
        info.SetInfo(0, L"name", L"value");
        EXPECT_EQ(info.Detach(), nullptr);
    }
    EXPECT_EQ(m_spy->Allocations(), 0u);
}

} // namespace
