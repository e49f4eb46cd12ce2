// The fuzzer's target for the installation record, zelli.inf: the reader and
// the check of the installer, and the record written again and read back.
#include <windows.h>

#include <string>

#include "fuzz/Fuzz.h"
#include "installer/InstallLayout.h"
#include "installer/InstallRecord.h"

namespace ZelFuzz {

namespace {

VkInst::InstallLayout g_layout;

// The first line in which the records' texts differ, as each has it.
std::wstring FirstDifference(const VkInst::InstallRecord& first, const VkInst::InstallRecord& second)
{
    const std::wstring a = VkInst::FormatRecord(first);
    const std::wstring b = VkInst::FormatRecord(second);
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    const size_t start = a.rfind(L'\n', at) == std::wstring::npos ? 0 : a.rfind(L'\n', at) + 1;
    auto line = [start](const std::wstring& text) { return text.substr(start, text.find(L'\n', start) - start); };
    return L"[" + line(a) + L"] against [" + line(b) + L"]";
}

bool SetUpInstallRecord()
{
    return g_layout.Load();
}

// The file's bytes as they are: refused with a reason, or read and checked;
// a record the check passes, as every record the installer writes does, is
// written again as the same record. (One it refuses may not be: the install
// folder's line is written as it is, so blanks at its ends are lost.)
void RunInstallRecord(const uint8_t* data, size_t size)
{
    const std::wstring path = WorkFolder() + L"\\zelli.inf";
    if (!WriteFileBytes(path, data, size))
        return;
    VkInst::InstallRecord record;
    std::wstring problem;
    if (!VkInst::ReadRecord(path, record, problem)) {
        if (problem.empty())
            Fail("a record was refused without a reason");
        return;
    }
    if (!VkInst::CheckRecord(record, g_layout, problem))
        return;
    const std::wstring again = WorkFolder() + L"\\again.inf";
    ::DeleteFileW(again.c_str());
    VkInst::InstallRecord reread;
    if (!VkInst::WriteRecord(again, record) || !VkInst::ReadRecord(again, reread, problem))
        Fail("a record that was read does not read back once written");
    else if (VkInst::FormatRecord(reread) != VkInst::FormatRecord(record))
        Fail("a record written again reads back differently: %ls", FirstDifference(record, reread).c_str());
}

} // namespace

const Target kInstallRecordTarget = {"install", SetUpInstallRecord, nullptr, RunInstallRecord};

} // namespace ZelFuzz
