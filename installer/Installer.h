#pragma once
// The two commands of VkInst.exe, and what they print and exit with.
#include <windows.h>

#include <string>

namespace VkInst {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
// Nothing was changed: the sources, the thumbprints or the record are missing or bad.
constexpr int kExitRefused = 2;
// Something could not be done; what was done stays done and is recorded.
constexpr int kExitIncomplete = 3;

// Prints a line to the standard output.
void Say(const std::wstring& text);
// Prints "VkInst: <text>" to the standard error.
void Complain(const std::wstring& text);
// Why a file, folder or key was refused or left, for the output.
std::wstring Reason(DWORD error);

// Lays the product out from a folder of built files, recording in zelli.inf
// what it adds and the old data of what it overwrites. Again over an
// installation it changes nothing. thumbprints names the file of trusted
// publishers; empty means trusted.thumbprint in the source folder.
int Install(const std::wstring& sourceFolder, const std::wstring& thumbprints);

// Takes away what the record names, and only that. The record must be the
// installation's own zelli.inf, named by any form of its path.
int Uninstall(const std::wstring& recordPath);

} // namespace VkInst
