#pragma once
// The usage report: one line of tab-separated fields with the installation's
// sealed text, the last update, the user mode and the household's counts from
// the configuration service, then the host's domain and language.
#include <windows.h>

class CZelHelper;

// Units of the part before the domain (installation text, date and counts),
// terminator included; a report whose part would not fit fails with
// MakeResultCode(ERROR_MORE_DATA) rather than going out cut.
constexpr size_t kUsageReportMainChars = 1024;

// 0 with *report in CoTaskMemAlloc memory the caller frees, or a result code
// in the host's form. *report is written only on success, or with null when
// the final copy cannot be allocated. A null helper gives configuration
// counts of 0.
long BuildUsageReport(CZelHelper* helper, LPWSTR* report);
