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

bool SetRepeatedString(HKEY root, const std::wstring& path, const wchar_t* name, const wchar_t* piece, size_t times)
{
    std::wstring text;
    while (times-- > 0)
        text += piece;
    return ::RegSetKeyValueW(root, path.c_str(), name, REG_SZ, text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

ScopedRegistryTree::ScopedRegistryTree(HKEY root, std::wstring path)
    : m_root(root), m_path(std::move(path)), m_createdFrom(m_path.size()), m_before(root, {m_path})
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
    return ::RegSetKeyValueW(m_root, m_path.c_str(), name, REG_SZ, value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
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
    // The registry counts a string's terminator in when the caller left it out
    // and a zero follows the data: a guard after the bytes keeps them as given.
    std::vector<BYTE> guarded(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + bytes);
    guarded.insert(guarded.end(), {0xBD, 0xBD});
    if (::RegSetKeyValueW(m_root, m_path.c_str(), m_name.c_str(), type, guarded.data(), bytes) != ERROR_SUCCESS)
        return false;
    // Stored exactly as given, or the case is not the one it claims to be.
    DWORD stored = 0;
    Plinth::UniqueHKey key;
    return ::RegOpenKeyExW(m_root, m_path.c_str(), 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS &&
           ::RegQueryValueExW(key.get(), m_name.c_str(), nullptr, nullptr, nullptr, &stored) == ERROR_SUCCESS &&
           stored == bytes;
}

bool ScopedRegistryValue::SetString(const std::wstring& value, DWORD type)
{
    return Set(type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void ScopedRegistryValue::Delete()
{
    ::RegDeleteKeyValueW(m_root, m_path.c_str(), m_name.c_str());
}

struct ScopedRegistrySnapshot::Tree
{
    struct Value
    {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, std::unique_ptr<Tree>>> children;
};

namespace {

using Tree = ScopedRegistrySnapshot::Tree;

constexpr DWORD kNameChars = 16384;

std::unique_ptr<Tree> Capture(HKEY parent, const std::wstring& path)
{
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return nullptr;
    auto tree = std::make_unique<Tree>();
    std::vector<wchar_t> name(kNameChars);
    for (DWORD index = 0;; ++index) {
        DWORD chars = kNameChars;
        DWORD type = REG_NONE;
        DWORD bytes = 0;
        if (::RegEnumValueW(key.get(), index, name.data(), &chars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
            break;
        Tree::Value value{std::wstring(name.data(), chars), type, std::vector<BYTE>(bytes)};
        chars = kNameChars;
        if (::RegEnumValueW(key.get(), index, name.data(), &chars, nullptr, &value.type, value.data.data(), &bytes) ==
            ERROR_SUCCESS)
            tree->values.push_back(std::move(value));
    }
    for (DWORD index = 0;; ++index) {
        DWORD chars = kNameChars;
        if (::RegEnumKeyExW(key.get(), index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::wstring child(name.data(), chars);
        tree->children.emplace_back(child, Capture(key.get(), child));
    }
    return tree;
}

void Write(HKEY parent, const std::wstring& path, const Tree& tree)
{
    Plinth::UniqueHKey key;
    if (::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    for (const Tree::Value& value : tree.values)
        ::RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                         static_cast<DWORD>(value.data.size()));
    for (const auto& [name, child] : tree.children) {
        if (child)
            Write(key.get(), name, *child);
    }
}

} // namespace

ScopedRegistrySnapshot::ScopedRegistrySnapshot(HKEY root, std::vector<std::wstring> paths)
    : m_root(root), m_paths(std::move(paths))
{
    for (const std::wstring& path : m_paths)
        m_trees.push_back(Capture(m_root, path));
}

ScopedRegistrySnapshot::~ScopedRegistrySnapshot()
{
    for (size_t i = 0; i < m_paths.size(); ++i) {
        ::RegDeleteTreeW(m_root, m_paths[i].c_str());
        ::RegDeleteKeyW(m_root, m_paths[i].c_str());
        if (m_trees[i])
            Write(m_root, m_paths[i], *m_trees[i]);
    }
}

namespace {

std::vector<std::wstring> ProductClassKeys()
{
    // The configuration service, the module's two class keys, the user-mode
    // provider, the component checker, the service's proxy/stub class.
    const wchar_t* const classes[] = {
        L"{0192AED2-615F-473E-81B1-F357AB727EAE}", L"{B060136A-4731-43D5-B8AC-22092219B7B1}",
        L"{27C3F805-046E-4472-B76E-47AABEF9A5E0}", L"{4DDE4F20-567C-441F-9325-3AF349EC00EC}",
        L"{5E3B42BC-7470-413C-8857-98EC8AA2F2F8}", L"{994775E6-1F09-4D36-9B72-0AD6257FF31D}"};
    // The interfaces the type libraries and the proxy/stub register.
    const wchar_t* const interfaces[] = {
        L"{05CF7A19-31E3-4E4F-9940-4D3584571649}", L"{51CA5A47-EB05-43A5-9038-2A25340E0D79}",
        L"{79611707-66E2-4276-B19C-C5089F071C08}", L"{994775E6-1F09-4D36-9B72-0AD6257FF31D}",
        L"{B7D74CE8-05A8-4781-850A-45AAE75361AA}", L"{CF478131-2763-4573-A1FA-E350EE49E6C0}",
        L"{E03A180C-8EBC-4BDA-80D1-9F1D9152E80C}", L"{E8C4DE7D-2945-45E0-95FE-FF3F8B814AF7}"};
    // The configuration service's and the module's type libraries.
    const wchar_t* const typeLibraries[] = {L"{60D4640E-5F28-43E8-AEE2-E0C2E9870B3B}",
                                            L"{C9249A9C-6E4D-42D8-8BFA-D6578381EF6A}"};
    const wchar_t* const appIds[] = {L"{5F584E50-5FD5-4659-AD4C-BEFB41252EC4}", L"zellumoap.DLL"};
    const std::wstring classesKey = L"SOFTWARE\\Classes\\";
    // Interfaces, type libraries and AppIDs have a 32-bit copy as well.
    const std::wstring mirrorKey = classesKey + L"Wow6432Node\\";
    std::vector<std::wstring> keys = {classesKey + L"ZelLumoApp.ZelAppImpl", classesKey + L"ZelLumoApp.ZelAppImpl.1"};
    for (const wchar_t* clsid : classes)
        keys.push_back(classesKey + L"CLSID\\" + clsid);
    for (const std::wstring& root : {classesKey, mirrorKey}) {
        for (const wchar_t* iid : interfaces)
            keys.push_back(root + L"Interface\\" + iid);
        for (const wchar_t* libid : typeLibraries)
            keys.push_back(root + L"TypeLib\\" + libid);
        for (const wchar_t* appId : appIds)
            keys.push_back(root + L"AppID\\" + appId);
    }
    return keys;
}

} // namespace

ScopedProductRegistrations::ScopedProductRegistrations()
    : ScopedRegistrySnapshot(HKEY_LOCAL_MACHINE, ProductClassKeys())
{
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
