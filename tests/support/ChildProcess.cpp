#include "tests/support/ChildProcess.h"

#include <tlhelp32.h>

#include "tests/support/TestRegistry.h"

namespace ZelTest {

namespace {

void Drain(HANDLE pipe, std::string& output)
{
    char buffer[4096];
    DWORD available = 0;
    while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD read = 0;
        if (!::ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) || read == 0)
            return;
        output.append(buffer, read);
    }
}

} // namespace

bool StartChild(const wchar_t* program, const std::wstring& arguments, ChildProcess& child, HANDLE out, HANDLE errors)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (out) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = errors ? errors : out;
    }
    const std::wstring path = BinPath(program);
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, out != nullptr, 0, nullptr, nullptr,
                          &startup, &process))
        return false;
    child.process.reset(process.hProcess);
    child.thread.reset(process.hThread);
    return true;
}

ChildRun RunChild(const wchar_t* program, const std::wstring& arguments, bool withErrors, DWORD timeoutMs)
{
    ChildRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    Plinth::UniqueHandle readEnd;
    Plinth::UniqueHandle writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0) ||
        !::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0))
        return run;
    Plinth::UniqueHandle discard(
        ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    ChildProcess child;
    if (!StartChild(program, arguments, child, writeEnd.get(), withErrors ? writeEnd.get() : discard.get()))
        return run;
    writeEnd.reset();
    discard.reset();
    run.started = true;

    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (::WaitForSingleObject(child.process.get(), 20) == WAIT_TIMEOUT) {
        Drain(readEnd.get(), run.output);
        if (::GetTickCount64() > deadline) {
            ::TerminateProcess(child.process.get(), WAIT_TIMEOUT);
            break;
        }
    }
    Drain(readEnd.get(), run.output);
    ::GetExitCodeProcess(child.process.get(), &run.exitCode);
    return run;
}

std::vector<DWORD> ProcessesNamed(const wchar_t* image)
{
    std::vector<DWORD> ids;
    const Plinth::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::CompareStringOrdinal(entry.szExeFile, -1, image, -1, TRUE) == CSTR_EQUAL)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool EndProcess(DWORD id, DWORD waitMs)
{
    const Plinth::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    return process && ::TerminateProcess(process.get(), 1) &&
           ::WaitForSingleObject(process.get(), waitMs) == WAIT_OBJECT_0;
}

} // namespace ZelTest
