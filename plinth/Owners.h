#pragma once
// Small owners for Win32 and COM resources. Each closes what it holds in its
// destructor; closing keeps the thread's last error so cleanup never hides the
// error being reported.
#include <windows.h>
#include <oleauto.h>
#include <objbase.h>
#include <cstring>
#include <cwchar>
#include <utility>

namespace Plinth {

template <typename T, auto Close, T Invalid = T{}>
class UniqueResource
{
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return m_value; }
    explicit operator bool() const { return m_value != Invalid; }

    // Releases what was held, then hands out the address for an API to fill.
    T* put()
    {
        reset();
        return &m_value;
    }

    [[nodiscard]] T release()
    {
        T value = m_value;
        m_value = Invalid;
        return value;
    }

    void reset(T value = Invalid)
    {
        T old = m_value;
        m_value = value;
        if (old != Invalid) {
            const DWORD lastError = ::GetLastError();
            Close(old);
            ::SetLastError(lastError);
        }
    }

private:
    T m_value = Invalid;
};

// CreateFile and FindFirstFile answer INVALID_HANDLE_VALUE for none, where
// the owners below take null.
inline HANDLE HandleOrNull(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

using UniqueHKey = UniqueResource<HKEY, &::RegCloseKey>;
using UniqueHandle = UniqueResource<HANDLE, &::CloseHandle>;
using UniqueModule = UniqueResource<HMODULE, &::FreeLibrary>;
using UniqueBstr = UniqueResource<BSTR, &::SysFreeString>;
// A mapped view of a file or section.
using UniqueView = UniqueResource<void*, &::UnmapViewOfFile>;
template <typename T>
using UniqueCoTaskMem = UniqueResource<T*, &::CoTaskMemFree>;

// A copy of text with its terminator in CoTaskMemAlloc memory, for handing to
// a caller that frees it with CoTaskMemFree; null when memory runs out.
inline wchar_t* CoTaskMemStrDup(const wchar_t* text)
{
    const size_t bytes = (::wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(::CoTaskMemAlloc(bytes));
    if (copy)
        ::memcpy(copy, text, bytes);
    return copy;
}

// Owning COM interface pointer.
template <typename T>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& other) : m_ptr(other.m_ptr)
    {
        if (m_ptr)
            m_ptr->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : m_ptr(other.detach()) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }

    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* ptr)
    {
        ComPtr result;
        result.m_ptr = ptr;
        return result;
    }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    T** put()
    {
        reset();
        return &m_ptr;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

    [[nodiscard]] T* detach()
    {
        T* ptr = m_ptr;
        m_ptr = nullptr;
        return ptr;
    }

    void reset()
    {
        T* old = m_ptr;
        m_ptr = nullptr;
        if (old)
            old->Release();
    }

    template <typename U>
    HRESULT As(REFIID iid, ComPtr<U>& out) const
    {
        if (!m_ptr)
            return E_POINTER;
        return m_ptr->QueryInterface(iid, out.put_void());
    }

private:
    T* m_ptr = nullptr;
};

// A VARIANT that is cleared when it goes.
class UniqueVariant
{
public:
    UniqueVariant() { ::VariantInit(&m_value); }
    ~UniqueVariant() { ::VariantClear(&m_value); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() { return &m_value; }
    const VARIANT* get() const { return &m_value; }
    VARIANT* put()
    {
        ::VariantClear(&m_value);
        return &m_value;
    }

private:
    VARIANT m_value;
};

// A critical section whose initialisation can fail and be reported.
class CriticalSection
{
public:
    CriticalSection() = default;
    ~CriticalSection()
    {
        if (m_initialized)
            ::DeleteCriticalSection(&m_section);
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // S_OK, or the failure of the system call as an HRESULT.
    HRESULT Init(DWORD spinCount = 0)
    {
        if (m_initialized)
            return S_OK;
        if (!::InitializeCriticalSectionEx(&m_section, spinCount, 0)) {
            const DWORD error = ::GetLastError();
            return error ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
        }
        m_initialized = true;
        return S_OK;
    }
    bool IsInitialized() const { return m_initialized; }
    void Enter() { ::EnterCriticalSection(&m_section); }
    void Leave() { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section{};
    bool m_initialized = false;
};

class CriticalSectionLock
{
public:
    explicit CriticalSectionLock(CriticalSection& section) : m_section(section) { m_section.Enter(); }
    ~CriticalSectionLock() { m_section.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& m_section;
};

// COM initialised for the lifetime of the scope, when this scope did it.
class ComInitScope
{
public:
    explicit ComInitScope(DWORD model = COINIT_MULTITHREADED) : m_hr(::CoInitializeEx(nullptr, model)) {}
    ~ComInitScope()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    ComInitScope(const ComInitScope&) = delete;
    ComInitScope& operator=(const ComInitScope&) = delete;
    // COM is usable when this scope initialised it or another model already had.
    bool Usable() const { return SUCCEEDED(m_hr) || m_hr == RPC_E_CHANGED_MODE; }
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

} // namespace Plinth
