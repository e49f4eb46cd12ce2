// "vkseal ini": sealed entries of INI files, through the same reader the
// libraries use. Exit codes as for the registry commands: 0 success, 1 usage,
// 2 an entry that is missing, fails verification or cannot be written.
#include "tools/vkseal/IniCommands.h"

#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "plinth/Md5.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/WideFormat.h"
#include "tools/ToolText.h"
#include "tools/vkseal/SealOutput.h"

namespace {

using namespace VkSeal;

// The longest line the profile functions hand back.
constexpr DWORD kProfileLineChars = 32767;

using ZelTools::Write;

std::wstring Hex(const uint8_t* bytes, size_t count)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::wstring EntryName(const wchar_t* section, const wchar_t* key)
{
    return L"[" + std::wstring(section) + L"] " + key;
}

// Profile functions given a bare name look in the Windows folder; the user
// means the current one.
bool FullPath(const wchar_t* file, std::wstring& path)
{
    const DWORD needed = ::GetFullPathNameW(file, 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    std::vector<wchar_t> buffer(needed);
    const DWORD length = ::GetFullPathNameW(file, needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed)
        return false;
    path.assign(buffer.data(), length);
    return true;
}

bool ParseInt32(const wchar_t* text, int32_t& value)
{
    wchar_t* end = nullptr;
    errno = 0;
    const long long parsed = std::wcstoll(text, &end, 10);
    if (end == text || *end != L'\0' || errno != 0 || std::iswspace(*text) || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool ReadRaw(const std::wstring& path, const wchar_t* section, const std::wstring& key, std::wstring& value)
{
    static const wchar_t kAbsent[] = L"\x01";
    std::vector<wchar_t> buffer(kProfileLineChars + 1);
    const DWORD length = ::GetPrivateProfileStringW(section, key.c_str(), kAbsent, buffer.data(),
                                                    static_cast<DWORD>(buffer.size()), path.c_str());
    value.assign(buffer.data(), length);
    return value != kAbsent;
}

int SetEntry(const std::wstring& path, const wchar_t* section, const wchar_t* key, const std::wstring& kind,
             const wchar_t* value)
{
    Plinth::CObfuscatedIniReader reader;
    reader.Load(path);
    if (reader.Path().empty())
        return Fail(L"cannot open " + path);
    bool written = false;
    if (kind == L"string") {
        written = reader.WriteString(section, key, value);
    } else {
        int32_t number = 0;
        if (!ParseInt32(value, number))
            return Fail(L"not a 32-bit decimal number: " + std::wstring(value));
        written = reader.WriteInt(section, key, number);
    }
    if (!written)
        return Fail(L"cannot write " + EntryName(section, key) + L" to " + path);
    return kExitOk;
}

int GetEntry(const std::wstring& path, const wchar_t* section, const wchar_t* key)
{
    Plinth::CObfuscatedIniReader reader(true);
    if (!reader.Load(path))
        return Fail(L"cannot read " + path);
    std::wstring value;
    if (reader.GetString(section, key, value)) {
        Out(value + L"\n");
        return kExitOk;
    }
    if (!reader.FindEntry(section, key))
        return Fail(L"no entry " + EntryName(section, key) + L" in " + path);
    return Fail(L"entry " + EntryName(section, key) + L" fails verification (not sealed, altered, or sealed under " +
                L"another key)");
}

int ShowInfo(const std::wstring& path, const wchar_t* section, const wchar_t* key)
{
    std::wstring headerText;
    if (!ReadRaw(path, section, L"_" + std::wstring(key), headerText))
        return Fail(L"no sealed header _" + std::wstring(key) + L" in section [" + section + L"] of " + path);
    Out(Format(L"header:   %u characters%s\n", static_cast<unsigned>(headerText.size()),
               headerText.size() == Plinth::kIniSealHeaderTextChars ? L"" : L" (a header has 74)"));

    uint8_t header[Plinth::kIniSealHeaderBytes] = {};
    if (!Plinth::ReadIniHexBytes(headerText, header, sizeof(header)))
        return Fail(L"the header of " + EntryName(section, key) + L" holds no hexadecimal bytes");
    auto field = [&header](size_t offset) {
        uint32_t value = 0;
        std::memcpy(&value, header + offset, sizeof(value));
        return value;
    };
    std::wstring magic;
    for (size_t i = 0; i < 4; ++i)
        magic += header[i] >= 0x20 && header[i] < 0x7F ? static_cast<wchar_t>(header[i]) : L'.';
    const uint32_t type = field(12);
    Out(Format(L"magic:    %s (%s)\n", magic.c_str(), std::memcmp(header, "VKRG", 4) == 0 ? L"ok" : L"wrong"));
    Out(Format(L"version:  %u%s\n", field(4), field(4) == 1 ? L"" : L" (must be 1)"));
    Out(Format(L"length:   %u\n", field(8)));
    Out(Format(L"type:     %u (%s)\n", type,
               type == Plinth::kIniSealTypeString ? L"string"
               : type == Plinth::kIniSealTypeInt  ? L"integer"
                                                  : L"unknown"));
    Out(Format(L"scheme:   %u%s\n", field(16), field(16) ? L"" : L" (must not be 0)"));

    std::wstring dataText;
    if (!ReadRaw(path, section, key, dataText))
        return Fail(L"no data entry " + EntryName(section, key) + L" beside its header");
    const size_t count = type == Plinth::kIniSealTypeInt ? 4 : (dataText.empty() ? 0 : (dataText.size() - 1) / 2);
    std::vector<uint8_t> encoded(count);
    Plinth::ReadIniHexBytes(dataText, encoded.data(), count);
    uint8_t digest[Plinth::kMd5DigestBytes];
    Plinth::Md5(encoded.data(), count, digest);
    const bool digestOk = std::memcmp(digest, header + 20, sizeof(digest)) == 0;
    Out(Format(L"data:     %u bytes (%s)\n", static_cast<unsigned>(count),
               count == field(8) ? L"ok" : L"does not match the length"));
    Out(Format(L"digest:   %s (%s)\n", Hex(header + 20, sizeof(digest)).c_str(),
               digestOk ? L"ok" : (L"computed " + Hex(digest, sizeof(digest))).c_str()));

    Plinth::CObfuscatedIniReader reader(true);
    std::wstring value;
    if (!reader.Load(path) || !reader.GetString(section, key, value))
        return Fail(L"entry " + EntryName(section, key) + L" fails verification");
    Out(L"verified: yes\n");
    return kExitOk;
}

} // namespace

void PrintIniUsage()
{
    Write(STD_ERROR_HANDLE, L"  vkseal ini set <file> <section> <key> string <text>\n"
                            L"  vkseal ini set <file> <section> <key> int <number>\n"
                            L"  vkseal ini get <file> <section> <key>    prints the verified value\n"
                            L"  vkseal ini info <file> <section> <key>   prints the sealed header and checks it\n");
}

int RunIniCommand(int argc, wchar_t** argv)
{
    if (argc < 4) {
        PrintIniUsage();
        return kExitUsage;
    }
    const std::wstring command = argv[0];
    std::wstring path;
    if (!FullPath(argv[1], path))
        return Fail(L"not a file path: " + std::wstring(argv[1]));
    if (command == L"set" && argc == 6 && (std::wcscmp(argv[4], L"string") == 0 || std::wcscmp(argv[4], L"int") == 0))
        return SetEntry(path, argv[2], argv[3], argv[4], argv[5]);
    if (command == L"get" && argc == 4)
        return GetEntry(path, argv[2], argv[3]);
    if (command == L"info" && argc == 4)
        return ShowInfo(path, argv[2], argv[3]);
    PrintIniUsage();
    return kExitUsage;
}
