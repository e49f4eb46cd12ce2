// Seals, opens and inspects sealed registry values, and hands "ini" commands to
// IniCommands. Exit codes: 0 success, 1 usage, 2 a value that is missing, fails
// verification or cannot be read or written.
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "plinth/Md5.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "plinth/RegKey.h"
#include "plinth/WideFormat.h"
#include "tools/ToolText.h"
#include "tools/vkseal/IniCommands.h"
#include "tools/vkseal/SealOutput.h"

namespace {

using namespace VkSeal;

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

using ZelTools::Write;

std::wstring ErrorText(LONG error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return L"not found";
    case ERROR_INVALID_DATA:
        return L"fails verification (not sealed, or altered)";
    case ERROR_ACCESS_DENIED:
        return L"access denied";
    default:
        return Format(L"error %ld", error);
    }
}

void PrintUsage()
{
    Write(STD_ERROR_HANDLE, L"usage:\n"
                            L"  vkseal reg set <key> <name> string <text>\n"
                            L"  vkseal reg set <key> <name> expand <text>\n"
                            L"  vkseal reg set <key> <name> multi <text>...\n"
                            L"  vkseal reg set <key> <name> dword <number>\n"
                            L"  vkseal reg set <key> <name> qword <number>\n"
                            L"  vkseal reg set <key> <name> binary <hex>\n"
                            L"  vkseal reg set <key> <name> guid <{GUID}>\n"
                            L"  vkseal reg get <key> <name>      prints the opened value\n"
                            L"  vkseal reg info <key> <name>     prints the sealed header and checks it\n"
                            L"<key> is a root (HKLM, HKCU, HKCR, HKU, HKCC or the long name) and a subkey path.\n"
                            L"Numbers are decimal or 0x hexadecimal.\n");
    PrintIniUsage();
}

bool ParseKeyPath(const std::wstring& path, HKEY& root, std::wstring& subKey)
{
    static const struct
    {
        const wchar_t* name;
        HKEY root;
    } roots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT},   {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKCU", HKEY_CURRENT_USER},   {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKCC", HKEY_CURRENT_CONFIG}, {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        {L"HKLM", HKEY_LOCAL_MACHINE},  {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKU", HKEY_USERS},           {L"HKEY_USERS", HKEY_USERS},
    };
    const size_t slash = path.find(L'\\');
    if (slash == std::wstring::npos || slash + 1 == path.size())
        return false;
    const std::wstring head = path.substr(0, slash);
    for (const auto& candidate : roots) {
        if (::CompareStringOrdinal(head.c_str(), -1, candidate.name, -1, TRUE) == CSTR_EQUAL) {
            root = candidate.root;
            subKey = path.substr(slash + 1);
            return true;
        }
    }
    return false;
}

bool ParseUnsigned(const wchar_t* text, uint64_t limit, uint64_t& value)
{
    while (std::iswspace(*text))
        ++text;
    if (*text == L'-' || *text == L'+' || *text == L'\0')
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    value = std::wcstoull(text, &end, 0);
    return errno == 0 && *end == L'\0' && value <= limit;
}

bool ParseHex(const wchar_t* text, std::vector<uint8_t>& bytes)
{
    std::wstring digits;
    for (; *text; ++text) {
        if (std::iswxdigit(*text))
            digits += *text;
        else if (!std::iswspace(*text) && *text != L':' && *text != L'-')
            return false;
    }
    if (digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::wcstoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

std::wstring Hex(const uint8_t* bytes, size_t count)
{
    std::wstring text;
    for (size_t i = 0; i < count; ++i)
        text += Format(L"%02X", bytes[i]);
    return text;
}

std::wstring TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return L"REG_SZ";
    case REG_EXPAND_SZ:
        return L"REG_EXPAND_SZ";
    case REG_BINARY:
        return L"REG_BINARY";
    case REG_DWORD:
        return L"REG_DWORD";
    case REG_MULTI_SZ:
        return L"REG_MULTI_SZ";
    case REG_QWORD:
        return L"REG_QWORD";
    default:
        return L"unknown";
    }
}

int SetValue(HKEY root, const std::wstring& subKey, const wchar_t* name, const std::wstring& kind, int valueCount,
             wchar_t** values)
{
    if (valueCount < 1 || (kind != L"multi" && valueCount != 1)) {
        PrintUsage();
        return kExitUsage;
    }
    Plinth::CObfuscatedRegKey key;
    LONG result = key.Create(root, subKey.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_QUERY_VALUE);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot create key " + subKey + L": " + ErrorText(result));
    const wchar_t* text = values[0];
    uint64_t number = 0;
    if (kind == L"string") {
        result = key.SetStringValue(name, text, REG_SZ);
    } else if (kind == L"expand") {
        result = key.SetStringValue(name, text, REG_EXPAND_SZ);
    } else if (kind == L"multi") {
        std::wstring list;
        for (int i = 0; i < valueCount; ++i) {
            if (!*values[i])
                return Fail(L"a string list cannot hold an empty string");
            list.append(values[i]).push_back(L'\0');
        }
        list.push_back(L'\0');
        result = key.SetMultiStringValue(name, list.c_str());
    } else if (kind == L"dword") {
        if (!ParseUnsigned(text, MAXDWORD, number))
            return Fail(L"not a 32-bit number: " + std::wstring(text));
        result = key.SetDWORDValue(name, static_cast<DWORD>(number));
    } else if (kind == L"qword") {
        if (!ParseUnsigned(text, UINT64_MAX, number))
            return Fail(L"not a 64-bit number: " + std::wstring(text));
        result = key.SetQWORDValue(name, number);
    } else if (kind == L"binary") {
        std::vector<uint8_t> bytes;
        if (!ParseHex(text, bytes) || bytes.empty())
            return Fail(L"not hexadecimal bytes: " + std::wstring(text));
        result = key.SetBinaryValue(name, bytes.data(), static_cast<ULONG>(bytes.size()));
    } else if (kind == L"guid") {
        GUID guid;
        if (text[0] != L'{' || FAILED(::IIDFromString(text, &guid)))
            return Fail(L"not a braced GUID: " + std::wstring(text));
        result = key.SetGUIDValue(name, guid);
    } else {
        PrintUsage();
        return kExitUsage;
    }
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot seal " + std::wstring(name) + L": " + ErrorText(result));
    return kExitOk;
}

// The opened data of any type, for the types without a typed query of their own.
LONG QueryData(Plinth::CRegKey& key, const wchar_t* name, std::vector<uint8_t>& data)
{
    ULONG bytes = 0;
    DWORD type = 0;
    LONG result = key.QueryValue(name, &type, nullptr, &bytes);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)
        return result;
    // Room for a terminator the data may lack.
    data.assign(bytes + sizeof(wchar_t), 0);
    result = key.QueryValue(name, &type, data.data(), &bytes);
    data.resize(bytes);
    return result;
}

int GetValue(HKEY root, const std::wstring& subKey, const wchar_t* name)
{
    Plinth::CObfuscatedRegKey key;
    LONG result = key.Open(root, subKey.c_str(), KEY_QUERY_VALUE);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot open key " + subKey + L": " + ErrorText(result));
    DWORD type = REG_NONE;
    result = key.QueryValue(name, &type, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        return Fail(L"value " + std::wstring(name) + L" " + ErrorText(result));
    std::wstring text;
    if (type == REG_SZ) {
        result = key.QueryStringValue(name, text);
        text += L"\n";
    } else if (type == REG_MULTI_SZ) {
        ULONG chars = 0;
        result = key.QueryMultiStringValue(name, nullptr, &chars);
        std::vector<wchar_t> list(chars < 2 ? 2 : chars);
        if (result == ERROR_SUCCESS) {
            chars = static_cast<ULONG>(list.size());
            result = key.QueryMultiStringValue(name, list.data(), &chars);
        }
        for (const wchar_t* item = list.data(); result == ERROR_SUCCESS && *item; item += std::wcslen(item) + 1)
            text += std::wstring(item) + L"\n";
    } else {
        std::vector<uint8_t> data;
        result = QueryData(key, name, data);
        if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
            DWORD value = 0;
            std::memcpy(&value, data.data(), sizeof(value));
            text = Format(L"%lu\n", value);
        } else if (type == REG_QWORD && data.size() == sizeof(uint64_t)) {
            uint64_t value = 0;
            std::memcpy(&value, data.data(), sizeof(value));
            text = Format(L"%llu\n", value);
        } else if (type == REG_EXPAND_SZ) {
            std::wstring wide(data.size() / sizeof(wchar_t), L'\0');
            std::memcpy(wide.data(), data.data(), wide.size() * sizeof(wchar_t));
            text = wide.substr(0, wide.find(L'\0')) + L"\n";
        } else {
            text = Hex(data.data(), data.size()) + L"\n";
        }
    }
    if (result != ERROR_SUCCESS)
        return Fail(L"value " + std::wstring(name) + L" " + ErrorText(result));
    Out(text);
    return kExitOk;
}

int ShowInfo(HKEY root, const std::wstring& subKey, const wchar_t* name)
{
    Plinth::CRegKey key;
    LONG result = key.Open(root, subKey.c_str(), KEY_QUERY_VALUE);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot open key " + subKey + L": " + ErrorText(result));
    DWORD storedType = REG_NONE;
    ULONG size = 0;
    result = key.QueryValue(name, &storedType, nullptr, &size);
    std::vector<uint8_t> raw(size);
    if (result == ERROR_SUCCESS && size > 0)
        result = key.QueryValue(name, &storedType, raw.data(), &size);
    if (result != ERROR_SUCCESS)
        return Fail(L"value " + std::wstring(name) + L" " + ErrorText(result));
    raw.resize(size);
    Out(Format(L"stored:   %s, %lu bytes\n", TypeName(storedType).c_str(), size));
    if (storedType != REG_BINARY)
        return Fail(L"value " + std::wstring(name) + L" is not sealed (stored as " + TypeName(storedType) + L")");
    if (size < Plinth::kSealedRegistryHeaderBytes)
        return Fail(L"value " + std::wstring(name) + L" is too short for a sealed header");

    auto field = [&raw](size_t offset) {
        uint32_t value = 0;
        std::memcpy(&value, raw.data() + offset, sizeof(value));
        return value;
    };
    const bool magicOk = std::memcmp(raw.data(), Plinth::kSealedRegistryMagic, 4) == 0;
    const uint32_t length = field(8);
    const bool lengthOk = size - Plinth::kSealedRegistryHeaderBytes == length;
    std::vector<uint8_t> zeroed = raw;
    std::memset(zeroed.data() + 16, 0, Plinth::kMd5DigestBytes);
    uint8_t digest[Plinth::kMd5DigestBytes];
    Plinth::Md5(zeroed.data(), zeroed.size(), digest);
    const bool digestOk = std::memcmp(digest, raw.data() + 16, Plinth::kMd5DigestBytes) == 0;
    std::wstring magic;
    for (size_t i = 0; i < 4; ++i)
        magic += raw[i] >= 0x20 && raw[i] < 0x7F ? static_cast<wchar_t>(raw[i]) : L'.';

    Out(Format(L"magic:    %s (%s)\n", magic.c_str(), magicOk ? L"ok" : L"wrong"));
    Out(Format(L"version:  %lu\n", field(4)));
    Out(Format(L"length:   %lu (%s)\n", length, lengthOk ? L"ok" : L"does not match the size"));
    Out(Format(L"type:     %lu (%s)\n", field(12), TypeName(field(12)).c_str()));
    Out(Format(L"digest:   %s (%s)\n", Hex(raw.data() + 16, Plinth::kMd5DigestBytes).c_str(),
               digestOk ? L"ok" : (L"computed " + Hex(digest, sizeof(digest))).c_str()));
    result = Plinth::OpenSealedRegistryValue(raw.data(), size, nullptr, nullptr, nullptr, 0);
    if (result != ERROR_SUCCESS)
        return Fail(L"value " + std::wstring(name) + L" " + ErrorText(result));
    Out(L"verified: yes\n");
    return kExitOk;
}

int RunRegCommand(int argc, wchar_t** argv)
{
    if (argc < 3) {
        PrintUsage();
        return kExitUsage;
    }
    const std::wstring command = argv[0];
    HKEY root = nullptr;
    std::wstring subKey;
    if (!ParseKeyPath(argv[1], root, subKey))
        return Fail(L"not a registry key path: " + std::wstring(argv[1]));
    if (command == L"set" && argc >= 5)
        return SetValue(root, subKey, argv[2], argv[3], argc - 4, argv + 4);
    if (command == L"get" && argc == 3)
        return GetValue(root, subKey, argv[2]);
    if (command == L"info" && argc == 3)
        return ShowInfo(root, subKey, argv[2]);
    PrintUsage();
    return kExitUsage;
}

} // namespace

int main()
{
    int argc = 0;
    UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv) {
        Fail(L"cannot read the command line");
        return kExitUsage;
    }
    wchar_t** args = argv.get();
    if (argc >= 2 && std::wcscmp(args[1], L"reg") == 0)
        return RunRegCommand(argc - 2, args + 2);
    if (argc >= 2 && std::wcscmp(args[1], L"ini") == 0)
        return RunIniCommand(argc - 2, args + 2);
    PrintUsage();
    return kExitUsage;
}
