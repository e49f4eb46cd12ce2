#pragma once
// Registry and file helpers the tests share.
#include <windows.h>

#include <string>

namespace ZelTest {

bool KeyExists(HKEY root, const wchar_t* path);

// Reads a REG_SZ value; empty when missing.
std::wstring ReadString(HKEY root, const wchar_t* path, const wchar_t* name);

// Deletes the key with its subtree when the scope ends (and when it begins, so
// a run that died earlier leaves nothing behind), and the parent keys that did
// not exist before, once they are empty.
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
};

// The folder every built binary lives in (the test program's own).
std::wstring BinDir();
std::wstring BinPath(const wchar_t* file);

} // namespace ZelTest
