#include "tests/support/ModuleLogFiles.h"

#include <windows.h>
#include <shlobj.h>

#include "plinth/Owners.h"

namespace ZelTest {

std::wstring ModuleLogFolder(const wchar_t* group, const wchar_t* program)
{
    wchar_t programData[MAX_PATH] = {};
    wchar_t self[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, programData)) ||
        !::GetModuleFileNameW(nullptr, self, MAX_PATH))
        return std::wstring();
    std::wstring name = self;
    name.erase(0, name.find_last_of(L'\\') + 1);
    name.erase(name.find_last_of(L'.'));
    if (program)
        name = program;
    return std::wstring(programData) + L"\\Varkon\\VKLOGS\\" + group + L"\\" + name;
}

std::wstring ReadLogFiles(const std::wstring& folder)
{
    std::wstring all;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return all;
    do {
        Plinth::UniqueHandle file(::CreateFileW((folder + L"\\" + found.cFileName).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                nullptr));
        const DWORD size = ::GetFileSize(file.get(), nullptr);
        if (size == INVALID_FILE_SIZE)
            continue;
        std::wstring text(size / sizeof(wchar_t), L'\0');
        DWORD read = 0;
        if (!text.empty())
            ::ReadFile(file.get(), &text[0], size, &read, nullptr);
        all += text;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return all;
}

} // namespace ZelTest
