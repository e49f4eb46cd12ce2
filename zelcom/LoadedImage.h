#pragma once
// Whether a module mapped in this process is the image a file holds: a file
// verified by its path says nothing about the module in memory once the file
// at that path can be renamed or replaced after the module was loaded.
#include <windows.h>

// True when the module's headers and every section the loader leaves
// unwritten equal the open file's, with the file's relocations applied for
// the address the module was loaded at. The import address tables and the
// control-flow-guard pointers, which the loader fills in, are not compared.
// False with the reason in words (static text) otherwise. Allocates nothing
// that can throw.
bool LoadedImageMatchesFile(HMODULE module, HANDLE file, const wchar_t*& reason);
