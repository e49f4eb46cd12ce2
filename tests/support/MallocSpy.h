#pragma once
// Counts the COM task-memory blocks allocated and freed while it is
// registered (CoRegisterMallocSpy), so tests can prove that every block handed
// out is freed exactly once.
#include <gtest/gtest.h>
#include <objbase.h>

#include <set>

namespace ZelTest {

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

} // namespace ZelTest
