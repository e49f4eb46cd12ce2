#pragma once
// Registry and file helpers the tests share.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace ZelTest {

bool KeyExists(HKEY root, const wchar_t* path);

// Reads a REG_SZ value; empty when missing.
std::wstring ReadString(HKEY root, const wchar_t* path, const wchar_t* name);

// Writes a REG_SZ value of piece repeated times over, creating the key.
bool SetRepeatedString(HKEY root, const std::wstring& path, const wchar_t* name, const wchar_t* piece, size_t times);

// Puts registry trees back as they were when the scope began: each tree is
// copied then, and when the scope ends it is removed and, if it existed,
// written again from the copy, every key and value with its type and data.
class ScopedRegistrySnapshot
{
public:
    ScopedRegistrySnapshot(HKEY root, std::vector<std::wstring> paths);
    ~ScopedRegistrySnapshot();
    ScopedRegistrySnapshot(const ScopedRegistrySnapshot&) = delete;
    ScopedRegistrySnapshot& operator=(const ScopedRegistrySnapshot&) = delete;

    struct Tree;

private:
    HKEY m_root;
    std::vector<std::wstring> m_paths;
    // One per path; null where the tree did not exist.
    std::vector<std::unique_ptr<Tree>> m_trees;
};

// Deletes the key with its subtree for the scope, and when the scope ends puts
// back the tree that was there before; parent keys the scope made go once empty.
class ScopedRegistryTree
{
public:
    ScopedRegistryTree(HKEY root, std::wstring path);
    ~ScopedRegistryTree();
    ScopedRegistryTree(const ScopedRegistryTree&) = delete;
    ScopedRegistryTree& operator=(const ScopedRegistryTree&) = delete;

    // Creates the key and sets a REG_SZ value in it.
    bool SetString(const wchar_t* name, const std::wstring& value);

private:
    HKEY m_root;
    std::wstring m_path;
    // Length of the shortest prefix of m_path that did not exist at the start.
    size_t m_createdFrom;
    // Taken before the tree is deleted, written back after.
    ScopedRegistrySnapshot m_before;
};

// Keeps one registry value for the scope and puts back what was there before:
// the old data, or no value (and no key, when the scope made it).
class ScopedRegistryValue
{
public:
    ScopedRegistryValue(HKEY root, std::wstring path, std::wstring name);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    // Raw data of any type and length, terminator or not.
    bool Set(DWORD type, const void* data, DWORD bytes);
    bool SetString(const std::wstring& value, DWORD type = REG_SZ);
    void Delete();

private:
    HKEY m_root;
    std::wstring m_path;
    std::wstring m_name;
    bool m_keyExisted;
    bool m_valueExisted = false;
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_data;
};

// Every class, interface, type library, AppID and ProgID key the product's
// modules and peers register, put back as found (an installed product's too).
class ScopedProductRegistrations : public ScopedRegistrySnapshot
{
public:
    ScopedProductRegistrations();
};

// Sets an empty DACL on the key (nobody may open it) or a null one (everybody may).
LONG SetKeyLocked(HKEY parent, const wchar_t* path, bool locked);

// The folder every built binary lives in (the test program's own).
std::wstring BinDir();
std::wstring BinPath(const wchar_t* file);

} // namespace ZelTest
