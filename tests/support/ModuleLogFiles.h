#pragma once
// Where the file log writer keeps this program's lines, and reading them back.
#include <string>

namespace ZelTest {

// The writer's folder for a group and a program (null: this one, else its
// name without extension), below the program-data folder.
std::wstring ModuleLogFolder(const wchar_t* group = L"Zellumoap", const wchar_t* program = nullptr);

// Every log file of the folder, one after the other, as one text.
std::wstring ReadLogFiles(const std::wstring& folder);

} // namespace ZelTest
