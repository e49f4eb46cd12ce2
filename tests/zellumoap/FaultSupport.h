#pragma once
// What the fault tests share: every method of the application-information
// object run once, each answer described as one comparable text.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/LoadHarness.h"
#include "zellumoap/ApplImpl.h"

constexpr long kUntouched = 0x5A5A5A5A;

// Method name -> its answer as the load harness shows it, then " |" and the
// log lines the call wrote.
using Outcomes = std::map<std::string, std::wstring>;

Plinth::ComPtr<IVkApplicationInfo> CreateObject();

// One log line as described: level, source file, function and text, the text
// cut as the module logger cuts it.
std::wstring Line(DWORD level, const std::wstring& file, const std::wstring& function, const std::wstring& text);
// A line of the object's own source file, for the method of that name.
std::wstring Logged(DWORD level, const std::wstring& method, const std::wstring& text);

// An answer, "hr 0x..., result 0x...", the values and the log lines.
std::wstring Describe(HRESULT hr, long result, const std::wstring& values, const std::wstring& logs = L"");

// Calls every method once. Each call's time is added to elapsedMs.
Outcomes RunEveryMethod(IVkApplicationInfo* object, std::map<std::string, ULONGLONG>* elapsedMs = nullptr);
