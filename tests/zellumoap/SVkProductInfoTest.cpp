// Ownership of the product-information collector, counted at the COM task
// allocator through a malloc spy.
#include <gtest/gtest.h>

#include <set>

#include "SVkProductInfo.h"

namespace {

// Counts the task-memory blocks allocated and freed while it is registered.
class CountingSpy : public IMallocSpy
{
public:
    std::multiset<void*> live;
    int allocations = 0;
    int frees = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IMallocSpy)) {
            *ppv = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override { return request; }
    STDMETHODIMP_(void*) PostAlloc(void* actual) override
    {
        if (actual) {
            ++allocations;
            live.insert(actual);
        }
        return actual;
    }
    STDMETHODIMP_(void*) PreFree(void* request, BOOL) override
    {
        if (request) {
            ++frees;
            EXPECT_EQ(live.erase(request), 1u) << "freed twice or never allocated";
        }
        return request;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL) override
    {
        *newRequest = request;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* actual, BOOL) override { return actual; }
    STDMETHODIMP_(void*) PreGetSize(void* request, BOOL) override { return request; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* request, BOOL) override { return request; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}
};

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
