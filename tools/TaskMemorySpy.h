#pragma once
// Watches the COM task allocator while registered with CoRegisterMallocSpy:
// which blocks are live, in what order they were made, and frees of blocks it
// never saw made or saw freed already. Reference counted, because COM keeps a
// revoked spy until every block it saw is freed; any thread may call it.
#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <map>

#include "plinth/Owners.h"

namespace ZelTools {

class CTaskMemorySpy final : public IMallocSpy
{
public:
    // A spy with one reference for the caller; null when it cannot be made.
    static Plinth::ComPtr<CTaskMemorySpy> Create();

    size_t LiveBlocks() const;
    bool IsLive(const void* block) const;
    // A point in the sequence of allocations: LiveSince counts the blocks made
    // after it that are still live.
    unsigned long long Mark() const;
    size_t LiveSince(unsigned long long mark) const;
    unsigned long Allocations() const;
    unsigned long Frees() const;
    // Frees of a block the spy never saw allocated, or saw freed already.
    unsigned long StrayFrees() const;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override;
    STDMETHODIMP_(void*) PostAlloc(void* actual) override;
    STDMETHODIMP_(void*) PreFree(void* request, BOOL spied) override;
    STDMETHODIMP_(void) PostFree(BOOL spied) override;
    STDMETHODIMP_(SIZE_T) PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL spied) override;
    STDMETHODIMP_(void*) PostRealloc(void* actual, BOOL spied) override;
    STDMETHODIMP_(void*) PreGetSize(void* request, BOOL spied) override;
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T actual, BOOL spied) override;
    STDMETHODIMP_(void*) PreDidAlloc(void* request, BOOL spied) override;
    STDMETHODIMP_(int) PostDidAlloc(void* request, BOOL spied, int actual) override;
    STDMETHODIMP_(void) PreHeapMinimize() override;
    STDMETHODIMP_(void) PostHeapMinimize() override;

private:
    CTaskMemorySpy() = default;
    ~CTaskMemorySpy() = default;

    void Track(void* block);
    void Untrack(void* block);

    volatile LONG m_refCount = 1;
    mutable Plinth::CriticalSection m_section;
    // Live block to its place in the sequence of allocations.
    std::map<const void*, unsigned long long> m_live;
    unsigned long long m_sequence = 0;
    unsigned long m_allocations = 0;
    unsigned long m_frees = 0;
    unsigned long m_strayFrees = 0;
};

} // namespace ZelTools
