#include "installer/Registration.h"

#include <windows.h>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace VkInst {

namespace {

constexpr DWORD kLocalServerWaitMs = 60000;

std::wstring Hex(DWORD value)
{
    std::wstring text;
    Plinth::FormatWideString(text, L"0x%08lX", value);
    return text;
}

bool RegisterInproc(const std::wstring& path, bool registering, std::wstring& failure)
{
    const Plinth::UniqueModule module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) {
        failure = L"cannot load it (error " + Hex(::GetLastError()) + L")";
        return false;
    }
    const char* const name = registering ? "DllRegisterServer" : "DllUnregisterServer";
    const auto entry =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(::GetProcAddress(module.get(), name)));
    if (!entry) {
        failure = L"it has no registration entry point";
        return false;
    }
    const HRESULT hr = entry();
    if (FAILED(hr)) {
        failure = L"its registration failed with " + Hex(static_cast<DWORD>(hr));
        return false;
    }
    return true;
}

bool RegisterLocal(const std::wstring& path, bool registering, std::wstring& failure)
{
    std::wstring commandLine = L"\"" + path + L"\" " + (registering ? L"/RegServer" : L"/UnregServer");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process)) {
        failure = L"cannot start it (error " + Hex(::GetLastError()) + L")";
        return false;
    }
    const Plinth::UniqueHandle processHandle(process.hProcess);
    const Plinth::UniqueHandle thread(process.hThread);
    if (::WaitForSingleObject(processHandle.get(), kLocalServerWaitMs) != WAIT_OBJECT_0) {
        failure = L"it did not finish";
        return false;
    }
    DWORD exitCode = MAXDWORD;
    ::GetExitCodeProcess(processHandle.get(), &exitCode);
    if (exitCode != 0) {
        failure = L"it exited with " + Hex(exitCode);
        return false;
    }
    return true;
}

} // namespace

bool RegisterServer(const std::wstring& path, bool inproc, bool registering, std::wstring& failure)
{
    return inproc ? RegisterInproc(path, registering, failure) : RegisterLocal(path, registering, failure);
}

} // namespace VkInst
