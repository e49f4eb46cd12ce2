#include "tools/TaskMemorySpy.h"

#include <new>

namespace ZelTools {

using Plinth::ComPtr;
using Plinth::CriticalSectionLock;

namespace {

// A reallocation's old block and size, from PreRealloc to PostRealloc on the
// same thread.
struct PendingRealloc
{
    void* block;
    SIZE_T size;
};

thread_local PendingRealloc t_pendingRealloc = {nullptr, 0};

} // namespace

ComPtr<CTaskMemorySpy> CTaskMemorySpy::Create()
{
    ComPtr<CTaskMemorySpy> spy = ComPtr<CTaskMemorySpy>::Attach(new (std::nothrow) CTaskMemorySpy);
    if (!spy || FAILED(spy->m_section.Init()))
        return nullptr;
    return spy;
}

size_t CTaskMemorySpy::LiveBlocks() const
{
    CriticalSectionLock lock(m_section);
    return m_live.size();
}

bool CTaskMemorySpy::IsLive(const void* block) const
{
    CriticalSectionLock lock(m_section);
    return m_live.count(block) != 0;
}

unsigned long long CTaskMemorySpy::Mark() const
{
    CriticalSectionLock lock(m_section);
    return m_sequence;
}

size_t CTaskMemorySpy::LiveSince(unsigned long long mark) const
{
    CriticalSectionLock lock(m_section);
    size_t count = 0;
    for (const auto& block : m_live)
        count += block.second > mark ? 1 : 0;
    return count;
}

unsigned long CTaskMemorySpy::Allocations() const
{
    CriticalSectionLock lock(m_section);
    return m_allocations;
}

unsigned long CTaskMemorySpy::Frees() const
{
    CriticalSectionLock lock(m_section);
    return m_frees;
}

unsigned long CTaskMemorySpy::StrayFrees() const
{
    CriticalSectionLock lock(m_section);
    return m_strayFrees;
}

void CTaskMemorySpy::Track(void* block)
{
    CriticalSectionLock lock(m_section);
    ++m_allocations;
    // A block the map has no room for stays untracked and later counts as a
    // stray free, so running out of memory shows rather than hides.
    try {
        m_live[block] = ++m_sequence;
    } catch (const std::bad_alloc&) {
    }
}

void CTaskMemorySpy::Untrack(void* block)
{
    CriticalSectionLock lock(m_section);
    ++m_frees;
    if (m_live.erase(block) == 0)
        ++m_strayFrees;
}

STDMETHODIMP CTaskMemorySpy::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IMallocSpy)) {
        *ppv = static_cast<IMallocSpy*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CTaskMemorySpy::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_refCount));
}

STDMETHODIMP_(ULONG) CTaskMemorySpy::Release()
{
    const ULONG count = static_cast<ULONG>(::InterlockedDecrement(&m_refCount));
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP_(SIZE_T) CTaskMemorySpy::PreAlloc(SIZE_T request)
{
    return request;
}

STDMETHODIMP_(void*) CTaskMemorySpy::PostAlloc(void* actual)
{
    if (actual)
        Track(actual);
    return actual;
}

STDMETHODIMP_(void*) CTaskMemorySpy::PreFree(void* request, BOOL)
{
    if (request)
        Untrack(request);
    return request;
}

STDMETHODIMP_(void) CTaskMemorySpy::PostFree(BOOL) {}

STDMETHODIMP_(SIZE_T) CTaskMemorySpy::PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL)
{
    t_pendingRealloc = {request, size};
    *newRequest = request;
    return size;
}

STDMETHODIMP_(void*) CTaskMemorySpy::PostRealloc(void* actual, BOOL)
{
    const PendingRealloc pending = t_pendingRealloc;
    t_pendingRealloc = {nullptr, 0};
    // A failed reallocation keeps the old block; a reallocation to size 0 frees it.
    if (pending.block && (actual || pending.size == 0))
        Untrack(pending.block);
    if (actual)
        Track(actual);
    return actual;
}

STDMETHODIMP_(void*) CTaskMemorySpy::PreGetSize(void* request, BOOL)
{
    return request;
}

STDMETHODIMP_(SIZE_T) CTaskMemorySpy::PostGetSize(SIZE_T actual, BOOL)
{
    return actual;
}

STDMETHODIMP_(void*) CTaskMemorySpy::PreDidAlloc(void* request, BOOL)
{
    return request;
}

STDMETHODIMP_(int) CTaskMemorySpy::PostDidAlloc(void*, BOOL, int actual)
{
    return actual;
}

STDMETHODIMP_(void) CTaskMemorySpy::PreHeapMinimize() {}

STDMETHODIMP_(void) CTaskMemorySpy::PostHeapMinimize() {}

} // namespace ZelTools
