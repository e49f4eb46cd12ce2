#include "tests/support/AllocationFailure.h"

#include <objbase.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace ZelTest {

namespace {

std::atomic<Allocator> g_allocator{Allocator::OperatorNew};
std::atomic<DWORD> g_thread{0};
// Allocations of the armed kind still to come before the one that fails;
// 0 when nothing is armed. Only the armed thread counts it down.
std::atomic<unsigned> g_remaining{0};
std::atomic<bool> g_failed{false};

bool ShouldFail(Allocator allocator)
{
    if (g_remaining.load() == 0 || g_allocator.load() != allocator || g_thread.load() != ::GetCurrentThreadId())
        return false;
    if (g_remaining.fetch_sub(1) != 1)
        return false;
    g_failed = true;
    return true;
}

// Lives as long as the process: COM keeps a revoked spy until every block it
// saw allocated is freed, so its reference count has nothing to free.
class FailingSpy final : public IMallocSpy
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IMallocSpy))
            return E_NOINTERFACE;
        *ppv = static_cast<IMallocSpy*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    // A request of 0 bytes makes the allocation fail.
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override { return ShouldFail(Allocator::TaskMemory) ? 0 : request; }
    STDMETHODIMP_(void*) PostAlloc(void* actual) override { return actual; }
    STDMETHODIMP_(void*) PreFree(void* request, BOOL) override { return request; }
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

FailingSpy g_spy;

} // namespace

void FailNthAllocation(Allocator allocator, unsigned n)
{
    g_remaining = 0;
    g_failed = false;
    g_allocator = allocator;
    g_thread = ::GetCurrentThreadId();
    g_remaining = n;
}

bool StopFailingAllocations()
{
    g_remaining = 0;
    return g_failed.exchange(false);
}

TaskMemoryFailures::TaskMemoryFailures() : m_registered(::CoRegisterMallocSpy(&g_spy)) {}

TaskMemoryFailures::~TaskMemoryFailures()
{
    if (SUCCEEDED(m_registered))
        ::CoRevokeMallocSpy();
}

} // namespace ZelTest

// The standard's other forms (array, nothrow) call these, so replacing them
// fails every form.
void* operator new(std::size_t size)
{
    void* block = ZelTest::ShouldFail(ZelTest::Allocator::OperatorNew) ? nullptr : std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
