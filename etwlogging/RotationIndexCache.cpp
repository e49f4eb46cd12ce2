#include "etwlogging/RotationIndexCache.h"

#include <cwchar>

#include "plinth/FolderSecurity.h"

namespace ETWLogging::internal {

// A writer killed while it kept an index leaves kept at 0, so a torn entry is
// never taken.
struct CRotationIndexCache::Shared
{
    LONG kept;
    DWORD index;
    DWORD sizeHigh;
    DWORD sizeLow;
    FILETIME written;
    wchar_t path[2 * MAX_PATH];
};

namespace {

bool SameState(const CRotationIndexCache::Shared& shared, const WIN32_FILE_ATTRIBUTE_DATA& now)
{
    return shared.sizeHigh == now.nFileSizeHigh && shared.sizeLow == now.nFileSizeLow &&
           ::CompareFileTime(&shared.written, &now.ftLastWriteTime) == 0;
}

} // namespace

DWORD CRotationIndexCache::Open(const std::wstring& name, const wchar_t* sddl)
{
    Close();
    Plinth::UniqueLocalMemory descriptor;
    DWORD result = Plinth::MakeSecurityDescriptor(sddl, descriptor);
    if (result != ERROR_SUCCESS)
        return result;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    const HANDLE section =
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, sizeof(Shared), name.c_str());
    result = ::GetLastError();
    if (!section)
        return result != ERROR_SUCCESS ? result : ERROR_INVALID_HANDLE;
    Plinth::UniqueHandle held(section);
    if (result == ERROR_ALREADY_EXISTS && (result = Plinth::CheckOwner(section, SE_KERNEL_OBJECT)) != ERROR_SUCCESS)
        return result;
    m_view.reset(::MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Shared)));
    if (!m_view)
        return ::GetLastError();
    m_section = std::move(held);
    return ERROR_SUCCESS;
}

void CRotationIndexCache::Close()
{
    m_view.reset();
    m_section.reset();
}

bool CRotationIndexCache::Find(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& now, DWORD& index) const
{
    const auto* shared = static_cast<const Shared*>(m_view.get());
    if (!shared || !shared->kept || !SameState(*shared, now) || path.size() >= std::size(shared->path) ||
        std::wcsncmp(shared->path, path.c_str(), std::size(shared->path)) != 0)
        return false;
    index = shared->index;
    return true;
}

void CRotationIndexCache::Keep(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& attributes, DWORD index)
{
    auto* shared = static_cast<Shared*>(m_view.get());
    if (!shared)
        return;
    shared->kept = 0;
    if (path.size() >= std::size(shared->path))
        return;
    std::wmemcpy(shared->path, path.c_str(), path.size() + 1);
    shared->index = index;
    shared->sizeHigh = attributes.nFileSizeHigh;
    shared->sizeLow = attributes.nFileSizeLow;
    shared->written = attributes.ftLastWriteTime;
    shared->kept = 1;
}

void CRotationIndexCache::Forget()
{
    if (auto* shared = static_cast<Shared*>(m_view.get()))
        shared->kept = 0;
}

} // namespace ETWLogging::internal
