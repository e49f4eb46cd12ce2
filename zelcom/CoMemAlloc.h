#pragma once
// Owners of CoTaskMemAlloc blocks that are handed to the host: each frees its
// block unless Detach gave it away first.
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <cstring>

#include "zelcom/ZelLumoAp.h"

template <typename T>
class CCoMemAllocBase
{
public:
    CCoMemAllocBase() = default;
    virtual ~CCoMemAllocBase() { Free(); }
    CCoMemAllocBase(const CCoMemAllocBase&) = delete;
    CCoMemAllocBase& operator=(const CCoMemAllocBase&) = delete;

    // Gives the block away; from then on the caller frees it.
    virtual T* Detach()
    {
        T* block = m_block;
        m_block = nullptr;
        m_size = 0;
        return block;
    }

    T* Get() const { return m_block; }
    uint64_t Size() const { return m_size; }

    // Replaces the block by a zeroed one of the given size; null, and nothing
    // owned, when memory runs out.
    T* Allocate(size_t bytes)
    {
        Free();
        m_block = static_cast<T*>(::CoTaskMemAlloc(bytes));
        if (!m_block)
            return nullptr;
        std::memset(m_block, 0, bytes);
        m_size = bytes;
        return m_block;
    }

protected:
    void Free()
    {
        if (m_block)
            ::CoTaskMemFree(m_block);
        m_block = nullptr;
        m_size = 0;
    }

private:
    T* m_block = nullptr;
    uint64_t m_size = 0;
};

// The owning string buffer.
template <typename T>
class CCoMemAlloc : public CCoMemAllocBase<T>
{
};

// An array of product-information records, zeroed, with its record count.
template <>
class CCoMemAlloc<tagVKPRODUCT_INFO> : public CCoMemAllocBase<tagVKPRODUCT_INFO>
{
public:
    explicit CCoMemAlloc(uint32_t count) : m_count(count)
    {
        if (count)
            Allocate(sizeof(tagVKPRODUCT_INFO) * count);
    }
    ~CCoMemAlloc() override { Free(); }

    tagVKPRODUCT_INFO* Detach() override
    {
        m_count = 0;
        return CCoMemAllocBase<tagVKPRODUCT_INFO>::Detach();
    }

    // The requested count, also when the array could not be allocated.
    uint32_t Count() const { return m_count; }

private:
    uint32_t m_count;
};
