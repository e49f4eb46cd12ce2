#include "tests/support/TestRegistry.h"

#include "plinth/Owners.h"

namespace ZelTest {

bool KeyExists(HKEY root, const wchar_t* path)
{
    Plinth::UniqueHKey key;
    return ::RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring ReadString(HKEY root, const wchar_t* path, const wchar_t* name)
{
    wchar_t buffer[1024] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    if (::RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS)
        return std::wstring();
    return buffer;
}

ScopedRegistryTree::ScopedRegistryTree(HKEY root, std::wstring path)
    : m_root(root), m_path(std::move(path)), m_createdFrom(m_path.size())
{
    ::RegDeleteTreeW(m_root, m_path.c_str());
    ::RegDeleteKeyW(m_root, m_path.c_str());
    for (size_t end = m_path.find(L'\\'); end != std::wstring::npos; end = m_path.find(L'\\', end + 1)) {
        if (!KeyExists(m_root, m_path.substr(0, end).c_str())) {
            m_createdFrom = end;
            break;
        }
    }
}

ScopedRegistryTree::~ScopedRegistryTree()
{
    ::RegDeleteTreeW(m_root, m_path.c_str());
    ::RegDeleteKeyW(m_root, m_path.c_str());
    // Parents this scope created go too, unless something else now lives in them.
    for (size_t end = m_path.rfind(L'\\'); end != std::wstring::npos && end >= m_createdFrom;
         end = end == 0 ? std::wstring::npos : m_path.rfind(L'\\', end - 1)) {
        if (::RegDeleteKeyW(m_root, m_path.substr(0, end).c_str()) != ERROR_SUCCESS)
            break;
    }
}

bool ScopedRegistryTree::SetString(const wchar_t* name, const std::wstring& value)
{
    Plinth::UniqueHKey key;
    if (::RegCreateKeyExW(m_root, m_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes) ==
           ERROR_SUCCESS;
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring path, std::wstring name)
    : m_root(root), m_path(std::move(path)), m_name(std::move(name)), m_keyExisted(KeyExists(root, m_path.c_str()))
{
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(m_root, m_path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), m_name.c_str(), nullptr, &m_type, nullptr, &bytes) != ERROR_SUCCESS)
        return;
    m_data.resize(bytes);
    m_valueExisted =
        ::RegQueryValueExW(key.get(), m_name.c_str(), nullptr, &m_type, m_data.data(), &bytes) == ERROR_SUCCESS;
    m_data.resize(bytes);
}

ScopedRegistryValue::~ScopedRegistryValue()
{
    if (m_valueExisted) {
        Set(m_type, m_data.data(), static_cast<DWORD>(m_data.size()));
        return;
    }
    Delete();
    if (!m_keyExisted)
        ::RegDeleteKeyW(m_root, m_path.c_str());
}

bool ScopedRegistryValue::Set(DWORD type, const void* data, DWORD bytes)
{
    Plinth::UniqueHKey key;
    if (::RegCreateKeyExW(m_root, m_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.get(), m_name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool ScopedRegistryValue::SetString(const std::wstring& value, DWORD type)
{
    return Set(type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void ScopedRegistryValue::Delete()
{
    ::RegDeleteKeyValueW(m_root, m_path.c_str(), m_name.c_str());
}

LONG SetKeyLocked(HKEY parent, const wchar_t* path, bool locked)
{
    Plinth::UniqueHKey key;
    LONG result = ::RegOpenKeyExW(parent, path, 0, WRITE_DAC, key.put());
    if (result != ERROR_SUCCESS)
        return result;
    SECURITY_DESCRIPTOR descriptor;
    ACL acl;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::InitializeAcl(&acl, sizeof(acl), ACL_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, locked ? &acl : nullptr, FALSE);
    return ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor);
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    const size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash);
}

std::wstring BinPath(const wchar_t* file)
{
    return BinDir() + L"\\" + file;
}

} // namespace ZelTest
