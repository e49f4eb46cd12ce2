// VkInst.exe runs elevated from folders a user may have planted a DLL in: every
// DLL it imports at start must be one the system maps from System32 itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr wchar_t kKnownDllsKey[] = L"System\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";
// Windows 10's known DLLs, for a platform that keeps no such key (Wine).
const std::vector<std::string> kWindowsKnownDlls = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "coml2.dll",   "difxapi.dll", "gdi32.dll",
    "gdiplus.dll",  "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",   "msvcrt.dll",  "normaliz.dll",
    "nsi.dll",      "ole32.dll",    "oleaut32.dll", "psapi.dll",    "rpcrt4.dll",  "sechost.dll", "setupapi.dll",
    "shcore.dll",   "shell32.dll",  "shlwapi.dll",  "user32.dll",   "wldap32.dll", "ws2_32.dll"};

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The known DLLs this machine names, with ntdll and kernel32, which always are.
std::vector<std::string> KnownDlls()
{
    std::vector<std::string> known = {"ntdll.dll", "kernel32.dll"};
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKnownDllsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        known.insert(known.end(), kWindowsKnownDlls.begin(), kWindowsKnownDlls.end());
        return known;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        char data[256] = {};
        DWORD nameChars = ARRAYSIZE(name);
        DWORD bytes = sizeof(data) - 1;
        DWORD type = 0;
        if (::RegEnumValueA(key, index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
            ERROR_SUCCESS)
            break;
        if (type == REG_SZ)
            known.push_back(Lower(data));
    }
    ::RegCloseKey(key);
    return known;
}

// The names of the DLLs in a 64-bit image's import directory.
std::vector<std::string> ImportedDlls(const std::string& image)
{
    std::vector<std::string> names;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    // A virtual address as an offset in the file.
    const auto offsetOf = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData)
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
        }
        return 0;
    };
    for (size_t at = offsetOf(imports.VirtualAddress); at != 0; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + at);
        if (descriptor->Name == 0)
            break;
        names.push_back(Lower(image.data() + offsetOf(descriptor->Name)));
    }
    return names;
}

TEST(VkInstImports, AreKnownDllsOnly)
{
    const std::string image = ZelTest::ReadBytes(ZelTest::BinDir() + L"\\VkInst.exe");
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const std::vector<std::string> known = KnownDlls();
    const std::vector<std::string> imported = ImportedDlls(image);
    EXPECT_GE(imported.size(), 2u) << "the import directory was not read";
    for (const std::string& name : imported) {
        bool isKnown = false;
        for (const std::string& knownName : known)
            isKnown = isKnown || knownName == name;
        EXPECT_TRUE(isKnown) << name << " is imported but is no known DLL";
    }
}

} // namespace
