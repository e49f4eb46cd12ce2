#include "tests/support/ModuleLogFiles.h"

#include "tests/support/FileLogSupport.h"

namespace ZelTest {

std::wstring ModuleLogFolder(const wchar_t* group, const wchar_t* program)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring name = std::wcsrchr(self, L'\\') + 1;
    name.erase(name.find_last_of(L'.'));
    return ProgramDataFolder() + L"\\Varkon\\VKLOGS\\" + group + L"\\" + (program ? program : name);
}

std::wstring ReadLogFiles(const std::wstring& folder)
{
    std::wstring all;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return all;
    do {
        const std::string bytes = ReadBytes(folder + L"\\" + found.cFileName);
        all.append(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return all;
}

} // namespace ZelTest
