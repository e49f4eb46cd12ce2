#pragma once
// The product's version record, read afresh from its registry keys.
#include <windows.h>

struct ZelVersionInfo
{
    wchar_t build[MAX_PATH];
    // The text of build after its second ".".
    wchar_t buildSuffix[MAX_PATH];
    wchar_t languagePack[MAX_PATH];
    // The user's short date of gmtdate when that is set, else the registry text.
    wchar_t lastUpdate[MAX_PATH];
    wchar_t version2[MAX_PATH];
    wchar_t appcode[MAX_PATH];
    // Seconds since 1970-01-01 UTC; 0 when absent.
    DWORD gmtdate;
};

// A text value of HKEY_LOCAL_MACHINE as every field of the record is read:
// missing, non-string or odd-sized data, or text that fills the field without
// its terminator, leaves the field empty rather than cut.
void ReadTextField(const wchar_t* subkey, const wchar_t* name, wchar_t (&field)[MAX_PATH]);

// Each field the registry cannot give is left empty (gmtdate 0); an empty
// build or version2 is taken from the built-in product version.
void LoadZelVersionInfo(ZelVersionInfo& info);
