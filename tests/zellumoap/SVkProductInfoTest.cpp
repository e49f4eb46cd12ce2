// Ownership of the product-information collector, counted at the COM task
// allocator through a malloc spy.
#include <gtest/gtest.h>

#include "SVkProductInfo.h"
#include "support/MallocSpy.h"

namespace {

using ZelTest::CountingSpy;

class SVkProductInfoTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(::CoRegisterMallocSpy(&m_spy), S_OK); }
    void TearDown() override { EXPECT_EQ(::CoRevokeMallocSpy(), S_OK); }

    CountingSpy m_spy;
};

TEST_F(SVkProductInfoTest, DestroyedWithoutDetachFreesEverythingOnce)
{
    {
        CSVkProductInfo info(3);
        info.SetInfo(0, L"Version", L"17.0");
        info.SetInfo(2, L"Last Update", nullptr);
        EXPECT_EQ(m_spy.allocations, 1 + 3);
    }
    EXPECT_EQ(m_spy.frees, m_spy.allocations);
    EXPECT_TRUE(m_spy.live.empty());
}

TEST_F(SVkProductInfoTest, DetachHandsOverArrayAndStrings)
{
    tagVKPRODUCT_INFO* records = nullptr;
    {
        CSVkProductInfo info(3);
        info.SetInfo(1, L"Major.Minor", L"17.0");
        info.SetInfo(3, L"beyond", L"the count");
        EXPECT_EQ(m_spy.allocations, 1 + 2);
        records = info.Detach();
        EXPECT_EQ(info.Detach(), nullptr);
    }
    EXPECT_EQ(m_spy.frees, 0);
    ASSERT_NE(records, nullptr);
    EXPECT_EQ(records[0].pwszName, nullptr);
    EXPECT_EQ(records[0].pwszValue, nullptr);
    EXPECT_STREQ(records[1].pwszName, L"Major.Minor");
    EXPECT_STREQ(records[1].pwszValue, L"17.0");
    EXPECT_EQ(records[2].pwszName, nullptr);

    // The host frees what it received.
    for (int i = 0; i < 3; ++i) {
        ::CoTaskMemFree(records[i].pwszName);
        ::CoTaskMemFree(records[i].pwszValue);
    }
    ::CoTaskMemFree(records);
    EXPECT_TRUE(m_spy.live.empty());
}

TEST_F(SVkProductInfoTest, EmptyCollectorOwnsNothing)
{
    {
        CSVkProductInfo info(0);
        info.SetInfo(0, L"name", L"value");
        EXPECT_EQ(info.Detach(), nullptr);
    }
    EXPECT_EQ(m_spy.allocations, 0);
}

} // namespace
