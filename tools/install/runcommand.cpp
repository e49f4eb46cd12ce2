// Runs one command line exactly as given, as a host runs the uninstall command
// it got from the module, and waits until the program and every process it
// started have ended (an uninstaller's last step may outlive it). Exits with
// the program's exit code, or 1 when it cannot be run.
//
//   runcommand "<command line>"
#include <windows.h>
#include <shellapi.h>

#include "plinth/Owners.h"
#include "tools/ToolText.h"

namespace {

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

constexpr DWORD kWaitMs = 120000;

int Fail(const wchar_t* text)
{
    ZelTools::Write(STD_ERROR_HANDLE, std::wstring(L"runcommand: ") + text + L"\n");
    return 1;
}

// Waits until the job reports that no process is left in it.
bool WaitForEmptyJob(HANDLE port, HANDLE job)
{
    const ULONGLONG deadline = ::GetTickCount64() + kWaitMs;
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof(accounting),
                                        nullptr) &&
            accounting.ActiveProcesses == 0)
            return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline)
            return false;
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (::GetQueuedCompletionStatus(port, &message, &key, &overlapped, static_cast<DWORD>(deadline - now)) &&
            message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            return true;
    }
}

int Run(std::wstring commandLine)
{
    // Windows serves the desktop from a process outside every job. Wine starts
    // that process on demand, as a child of the first process that needs the
    // desktop once the last one has ended, and keeps it while any program on
    // the desktop runs, this one included: born in the job, it would hold the
    // job open until this program gave up. Asked for here, it is this
    // program's child, outside the job, and stays for the whole wait.
    ::GetDesktopWindow();
    const Plinth::UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    const Plinth::UniqueHandle port(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {nullptr, port.get()};
    if (!job || !port ||
        !::SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation, &association,
                                   sizeof(association)))
        return Fail(L"cannot make a job to wait on");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                          &startup, &process))
        return Fail(L"cannot start the command");
    const Plinth::UniqueHandle processHandle(process.hProcess);
    const Plinth::UniqueHandle thread(process.hThread);
    if (!::AssignProcessToJobObject(job.get(), processHandle.get())) {
        ::TerminateProcess(processHandle.get(), 1);
        return Fail(L"cannot watch the command's processes");
    }
    ::ResumeThread(thread.get());
    if (::WaitForSingleObject(processHandle.get(), kWaitMs) != WAIT_OBJECT_0 || !WaitForEmptyJob(port.get(), job.get()))
        return Fail(L"the command did not finish");
    DWORD exitCode = 1;
    ::GetExitCodeProcess(processHandle.get(), &exitCode);
    return static_cast<int>(exitCode);
}

} // namespace

int main()
{
    int argc = 0;
    const UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv || argc != 2)
        return Fail(L"usage: runcommand \"<command line>\"");
    return Run(argv.get()[1]);
}
