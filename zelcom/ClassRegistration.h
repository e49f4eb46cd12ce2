#pragma once
// A class's server registration as COM reads it, read once: a value stored as
// REG_EXPAND_SZ has its environment variables expanded, a REG_SZ value is
// taken as written. Whatever is verified is then what is used, so nothing can
// change between the check and the load.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

namespace ClassRegistration {

// The braced text of a class identifier.
std::wstring GuidText(REFCLSID clsid);

// The class and those it is emulated by, following TreatAs to the end: S_OK,
// or E_ACCESSDENIED with the reason in words when a TreatAs cannot be read,
// loops or goes on longer than eight classes.
HRESULT ReadTreatAsChain(REFCLSID clsid, std::vector<std::wstring>& chain, std::wstring& reason);

struct Server
{
    // CLSCTX_INPROC_SERVER, CLSCTX_INPROC_HANDLER or CLSCTX_LOCAL_SERVER.
    DWORD form = 0;
    // The value as stored, for messages.
    std::wstring registered;
    // The file it names: an in-process form's path without its quotes; a
    // local server's program, up to its end quote or, unquoted, up to the
    // first blank, where process creation ends the program's name too. Empty
    // when the value names no file by these rules.
    std::wstring file;
    // An in-process form's "ThreadingModel", empty when it has none.
    std::wstring threadingModel;
};

// The default value of the form's key below HKEY_CLASSES_ROOT\CLSID\<guid>;
// false when there is none. A local server stored as REG_EXPAND_SZ whose
// expanded and unexpanded command lines name different programs names none
// (file empty): COM implementations differ in whether they expand it.
bool ReadServer(const std::wstring& guid, DWORD form, Server& server);

// Whether an in-process handler is the system's standard one (ole32.dll or
// combase.dll, by name or in the system folder), which only connects to the
// local server and is left to COM.
bool IsSystemHandler(const std::wstring& file);

// Whether objects of a class with this ThreadingModel may be called directly
// from an apartment of this type: "Both" and "Neutral" from any, "Free" from
// the multithreaded one, "Apartment" from a single-threaded one, and any
// other (no model) only from the main single-threaded apartment.
bool ThreadingModelAdmits(const std::wstring& model, APTTYPE apartment);

} // namespace ClassRegistration
