#pragma once
// The rotation index of a privileged writer's log.ini, kept in a section that
// every privileged writer of one executable shares and reads and writes only
// under the write mutex, so a record does not load the file to learn which
// file it goes to. A kept index stands only while the log.ini it came from
// still has the size and time of last write it had then, so an index written
// by anyone else is loaded anew.
#include <windows.h>

#include <string>

#include "plinth/Owners.h"

namespace ETWLogging::internal {

class CRotationIndexCache
{
public:
    // Creates the section of that name with the descriptor sddl, or opens it.
    // One that already existed is used only when the system or the
    // administrators own it: 0, 1307 for another owner, or the Win32 code;
    // without a section nothing is kept.
    DWORD Open(const std::wstring& name, const wchar_t* sddl);
    void Close();

    // The index kept for the file at path, when it still has these attributes.
    bool Find(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& now, DWORD& index) const;
    // Keeps the index read from or written to the file at path, which had
    // these attributes before it was read or after it was written.
    void Keep(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& attributes, DWORD index);
    void Forget();

    struct Shared;

private:
    Plinth::UniqueHandle m_section;
    Plinth::UniqueResource<void*, &::UnmapViewOfFile> m_view;
};

} // namespace ETWLogging::internal
