// The task-memory spy: live blocks in allocation order, reallocation, and
// frees of blocks it never saw made.
#include <gtest/gtest.h>

#include <objbase.h>

#include "tools/TaskMemorySpy.h"

namespace {

using Plinth::ComPtr;
using ZelTools::CTaskMemorySpy;

class TaskMemorySpyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_spy);
        ASSERT_EQ(::CoRegisterMallocSpy(m_spy.get()), S_OK);
    }
    void TearDown() override { EXPECT_EQ(::CoRevokeMallocSpy(), S_OK); }

    ComPtr<CTaskMemorySpy> m_spy = CTaskMemorySpy::Create();
};

TEST_F(TaskMemorySpyTest, CountsBlocksMadeSinceAMarkAndFollowsReallocation)
{
    void* before = ::CoTaskMemAlloc(8);
    const unsigned long long mark = m_spy->Mark();
    void* after = ::CoTaskMemAlloc(8);
    EXPECT_TRUE(m_spy->IsLive(before));
    EXPECT_EQ(m_spy->LiveBlocks(), 2u);
    EXPECT_EQ(m_spy->LiveSince(mark), 1u);

    void* grown = ::CoTaskMemRealloc(before, 4096);
    ASSERT_NE(grown, nullptr);
    EXPECT_TRUE(m_spy->IsLive(grown));
    EXPECT_EQ(m_spy->LiveSince(mark), 2u);
    ::CoTaskMemFree(after);
    EXPECT_FALSE(m_spy->IsLive(after));
    EXPECT_EQ(m_spy->LiveSince(mark), 1u);
    ::CoTaskMemFree(grown);
    EXPECT_EQ(m_spy->LiveBlocks(), 0u);
    EXPECT_EQ(m_spy->StrayFrees(), 0u);
}

TEST(TaskMemorySpyStrayTest, FreeOfABlockMadeBeforeRegistrationIsStray)
{
    const ComPtr<CTaskMemorySpy> spy = CTaskMemorySpy::Create();
    ASSERT_TRUE(spy);
    void* earlier = ::CoTaskMemAlloc(8);
    ASSERT_EQ(::CoRegisterMallocSpy(spy.get()), S_OK);
    EXPECT_FALSE(spy->IsLive(earlier));
    ::CoTaskMemFree(earlier);
    EXPECT_EQ(spy->StrayFrees(), 1u);
    EXPECT_EQ(spy->Frees(), 1u);
    EXPECT_EQ(::CoRevokeMallocSpy(), S_OK);
}

} // namespace
