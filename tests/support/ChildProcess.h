#pragma once
// Starts programs of the bin folder and collects what they print.
#include <windows.h>

#include <string>
#include <vector>

#include "plinth/Owners.h"

namespace ZelTest {

struct ChildProcess
{
    Plinth::UniqueHandle process;
    Plinth::UniqueHandle thread;
};

// Starts bin\<program> with the arguments, standard output to out and standard
// error to errors (out when null), inheritable handles; none: the caller's.
bool StartChild(const wchar_t* program, const std::wstring& arguments, ChildProcess& child, HANDLE out = nullptr,
                HANDLE errors = nullptr);

struct ChildRun
{
    bool started = false;
    // Never 0 unless the program ran and succeeded.
    DWORD exitCode = MAXDWORD;
    std::string output;
};

// Runs bin\<program> with the arguments; standard output (and standard error
// when withErrors, else it is discarded) is collected until the program ends.
// Reading stops when the program ends, not when the pipe closes: a system
// process the child starts may inherit the pipe and keep it open.
ChildRun RunChild(const wchar_t* program, const std::wstring& arguments, bool withErrors = true,
                  DWORD timeoutMs = 60000);

// The ids of the running processes of an image name (for example "x.exe").
std::vector<DWORD> ProcessesNamed(const wchar_t* image);

// Terminates a process and waits up to waitMs for it to be gone.
bool EndProcess(DWORD id, DWORD waitMs);

} // namespace ZelTest
