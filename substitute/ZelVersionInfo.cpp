#include "substitute/ZelVersionInfo.h"

#include "plinth/WideFormat.h"
#include "substitute/Substitute.h"
#include "zelcom/Version.h"

#include <shlwapi.h>

#include <cwchar>

namespace {

constexpr wchar_t kBuiltInVersion[] = L"" ZEL_PRODUCT_VERSION;
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;
constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000ULL;

void CopyText(wchar_t (&field)[MAX_PATH], const wchar_t* text, size_t length)
{
    if (length >= MAX_PATH)
        length = MAX_PATH - 1;
    std::wmemcpy(field, text, length);
    field[length] = L'\0';
}

DWORD ReadGmtDate()
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(value);
    if (::SHGetValueW(HKEY_LOCAL_MACHINE, kProductSubstituteKey, L"gmtdate", &type, &value, &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(value))
        return 0;
    return value;
}

// version2 from the text before the built-in version's second ".", build
// from the text between its second and third.
void FillFromBuiltInVersion(ZelVersionInfo& info)
{
    wchar_t version[MAX_PATH];
    if (Plinth::FormatWide(version, MAX_PATH, L"%s", kBuiltInVersion) < 0)
        return;
    size_t secondDot = 0;
    int dots = 0;
    for (size_t i = 1; version[i] != L'\0' && dots < 3; ++i) {
        if (version[i] != L'.')
            continue;
        ++dots;
        if (dots == 2) {
            secondDot = i;
            if (info.version2[0] == L'\0')
                CopyText(info.version2, version, i);
        } else if (dots == 3 && info.build[0] == L'\0') {
            CopyText(info.build, version + secondDot + 1, i - secondDot - 1);
        }
    }
}

bool ToLocalTime(DWORD seconds, SYSTEMTIME& local)
{
    ULARGE_INTEGER ticks;
    ticks.QuadPart = kUnixEpochAsFileTime + seconds * kFileTimeTicksPerSecond;
    const FILETIME fileTime{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utc;
    if (!::FileTimeToSystemTime(&fileTime, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return false;
    local.wMilliseconds = 0;
    return true;
}

} // namespace

// SHGetValueW leaves a value that fills the whole buffer without its
// terminator; such a value, like an odd-sized or non-string one, leaves the
// field empty. It expands a REG_EXPAND_SZ in place from what the buffer holds,
// which for a value of no bytes is nothing the registry wrote: the buffer
// starts empty so that such a value reads as empty text.
void ReadTextField(const wchar_t* subkey, const wchar_t* name, wchar_t (&field)[MAX_PATH])
{
    field[0] = L'\0';
    wchar_t buffer[MAX_PATH] = {};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(buffer);
    if (::SHGetValueW(HKEY_LOCAL_MACHINE, subkey, name, &type, buffer, &bytes) != ERROR_SUCCESS)
        return;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes % sizeof(wchar_t) != 0)
        return;
    const size_t length = ::wcsnlen(buffer, bytes / sizeof(wchar_t));
    if (length >= MAX_PATH)
        return;
    CopyText(field, buffer, length);
}

void LoadZelVersionInfo(ZelVersionInfo& info)
{
    info = ZelVersionInfo{};
    ReadTextField(kProductSubstituteKey, L"build", info.build);
    ReadTextField(kProductSubstituteKey, L"version2", info.version2);
    ReadTextField(kProductSubstituteKey, L"appcode", info.appcode);
    info.gmtdate = ReadGmtDate();
    ReadTextField(kProductKey, L"Last Update", info.lastUpdate);
    ReadTextField(kProductKey, L"Language Pack", info.languagePack);

    if (info.build[0] == L'\0' || info.version2[0] == L'\0')
        FillFromBuiltInVersion(info);

    if (const wchar_t* firstDot = std::wcschr(info.build, L'.')) {
        const wchar_t* secondDot = std::wcschr(firstDot + 1, L'.');
        if (secondDot && secondDot[1] != L'\0')
            CopyText(info.buildSuffix, secondDot + 1, std::wcslen(secondDot + 1));
    }

    SYSTEMTIME local;
    wchar_t date[MAX_PATH];
    if (info.gmtdate != 0 && ToLocalTime(info.gmtdate, local) &&
        ::GetDateFormatW(LOCALE_USER_DEFAULT, LOCALE_USE_CP_ACP, &local, nullptr, date, MAX_PATH) > 0)
        CopyText(info.lastUpdate, date, std::wcslen(date));
}
