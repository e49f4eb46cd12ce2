#pragma once
// What the fault tests share: every method of the application-information
// object run once, each answer described as one comparable text.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "zellumoap/ApplImpl.h"

constexpr long kUntouched = 0x5A5A5A5A;

// Method name -> "HRESULT result out-values |" and the log lines the call wrote.
using Outcomes = std::map<std::string, std::wstring>;

Plinth::ComPtr<IVkApplicationInfo> CreateObject();

// One log line as described: its level and text, cut as the module logger cuts it.
std::wstring Line(DWORD level, const std::wstring& text);

// An answer together with the log lines captured since the last one.
std::wstring Describe(HRESULT hr, long result, const std::wstring& out, const std::wstring& logs = L"");
std::wstring LogsOf(const std::wstring& described);

// "6 {name=value}..." with null texts shown as <null>.
std::wstring ProductInfoText(const std::vector<std::wstring>& labels, const std::vector<std::wstring>& values);

// Calls every method once; labels receives the names of the first three
// product-information records. Each call's time is added to elapsedMs.
Outcomes RunEveryMethod(IVkApplicationInfo* object, std::vector<std::wstring>* labels = nullptr,
                        std::map<std::string, ULONGLONG>* elapsedMs = nullptr);

// The uninstaller part of the uninstall command, and a path's short form (the
// path itself when it does not exist).
std::wstring Uninstaller();
std::wstring ShortPath(const std::wstring& path);
