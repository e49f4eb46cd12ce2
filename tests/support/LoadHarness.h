#pragma once
// The whole module under load: the product installed as the demo installs it,
// the built ZelLumoAp.dll loaded and its object made as the host does, and
// every method called from many threads at once, each answer compared with
// the one a single thread got. Shared by the load test and the soak benchmark.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"
#include "tools/TaskMemorySpy.h"
#include "zelcom/ZelLumoAp.h"

namespace ZelTest {

// The product's environment for the scope, each piece put back afterwards:
// trusted publishers, the file log writer (and with everyLevel a log.ini that
// lets every level through), the install directory with the resource DLL, the
// multilingual loader, update-check substitutes, the component checker with
// its list, a household of three, the user-mode provider and the sealed
// installation text. With configService the configuration service is
// registered to serve the household; without it the usage report counts nobody.
class LoadEnvironment
{
public:
    LoadEnvironment(bool everyLevel, bool configService);
    ~LoadEnvironment();
    LoadEnvironment(const LoadEnvironment&) = delete;
    LoadEnvironment& operator=(const LoadEnvironment&) = delete;

    // Empty when every piece is in place, else what could not be set up.
    const std::wstring& Problem() const { return m_problem; }
    // The folder the module's log files of this program go to.
    const std::wstring& LogDir() const { return m_logDir; }

private:
    void SetValue(const wchar_t* path, const wchar_t* name, const std::wstring& value);
    void Fail(const std::wstring& what);

    // Declared first, so the registrations and keys are put back last.
    ScopedProductRegistrations m_registrations;
    // The substitute keys and the component list, emptied for the values below.
    ScopedRegistrySnapshot m_keys;
    std::wstring m_problem;
    ScopedTrustedPublishers m_trusted;
    std::vector<std::unique_ptr<ScopedRegistryValue>> m_values;
    std::unique_ptr<ScopedRegistryTree> m_hostCopy;
    std::unique_ptr<ScopedRegistryTree> m_users;
    std::wstring m_logDir;
};

// Every interface of one object.
struct LoadInterfaces
{
    Plinth::ComPtr<IVkApplicationInfo> info;
    Plinth::ComPtr<IVkRecentEventAction> recentEvent;
    Plinth::ComPtr<IVkLogAction> log;
    Plinth::ComPtr<IVkVersion> version;
    Plinth::ComPtr<IVkApplicationInfo5> info5;
    Plinth::ComPtr<IVkApplicationInfo6> info6;

    // The object's other interfaces; the first failure.
    HRESULT From(IVkApplicationInfo* object);
    HRESULT Create(IVkClassFactory* factory);
};

// The uninstaller part of the uninstall command line, in a 64-bit prefix.
constexpr wchar_t kUninstaller[] = L"\"C:\\Program Files (x86)\\Common Files\\Varkon\\Installer\\VkInst.exe\" ";

// A path as the file system abbreviates it: each component by its stored
// short name; a path that does not exist stays as it is.
std::wstring ShortForm(const std::wstring& path);

// A method's HRESULT and everything it handed back, as text: strings quoted,
// null ones null, out-values the method did not write "unwritten".
using MethodAnswer = std::pair<HRESULT, std::wstring>;

struct Method
{
    const char* name;
    MethodAnswer (*call)(const LoadInterfaces& o);
};

// Every method of every interface, the two IVkApplicationInfo5 methods
// through both of their tables.
extern const Method kEveryMethod[];
extern const size_t kEveryMethodCount;

// "hr 0x00000000, result 0x00000000, ..." of an answer.
std::wstring Shown(const MethodAnswer& answer);

enum class ObjectSharing
{
    // One object, every thread calling it.
    Shared,
    // Each thread makes its own object through the class object and releases it at its end.
    PerThread,
    // Each thread makes its own object at the same moment and asks it for the
    // usage report alone, so every object's first use of the configuration
    // service races the others'.
    FirstUsageReport,
};

struct LoadFigures
{
    unsigned long calls = 0;
    double seconds = 0;
    unsigned long mismatches = 0;
    // The first answer that differed from the single thread's, with its thread and call.
    std::wstring firstMismatch;
    // Task-memory blocks made during the measured calls and still live after them.
    size_t blocksLeft = 0;
    unsigned long strayFrees = 0;
    DWORD handlesBefore = 0;
    DWORD handlesAfter = 0;
    // Handles the run may add without leaking: the RPC runtime keeps up to one
    // connection to a server per concurrent caller.
    DWORD handleAllowance = 0;

    bool Passed() const
    {
        return mismatches == 0 && blocksLeft == 0 && strayFrees == 0 && handlesAfter <= handlesBefore + handleAllowance;
    }
};

// One line of the figures, for a test's log or the benchmark's output.
std::string Summary(const char* mode, const LoadFigures& figures);

// The line of a run of objects made at once.
std::string FirstUseSummary(const LoadFigures& figures);

// The text with every character outside ASCII shown as '?', for narrow output.
std::string Ascii(const std::wstring& text);

// The module loaded from the bin folder, its class object, one object and
// the single thread's answer to every method. COM must be initialised for the
// multithreaded apartment on the calling thread for the rig's whole life.
class LoadRig
{
public:
    LoadRig();
    ~LoadRig();
    LoadRig(const LoadRig&) = delete;
    LoadRig& operator=(const LoadRig&) = delete;

    const std::wstring& Problem() const { return m_problem; }

    // A short warm-up of the same load, then callsPerThread calls on each of
    // threads threads, every thread cycling through every method from its own
    // starting point, with the memory and handle figures around the measured part.
    LoadFigures Run(ObjectSharing sharing, unsigned threads, unsigned long callsPerThread);

    // Up to rounds rounds of threads objects made at the same moment, each
    // asked for its usage report once. A round that takes roundLimitSeconds or
    // more ends the run, its objects not counted. calls counts the objects,
    // mismatches those whose report was not the single thread's.
    LoadFigures RunFirstUse(unsigned threads, unsigned rounds, double roundLimitSeconds);

    // Releases the rig's object and class object; DllCanUnloadNow's answer then.
    HRESULT ReleaseAndAskUnload();

private:
    struct Worker;
    static DWORD WINAPI WorkerThread(void* context);
    void Work(Worker& worker) const;
    double RunThreads(ObjectSharing sharing, unsigned threads, unsigned long callsPerThread, LoadFigures& figures);

    std::wstring m_problem;
    Plinth::UniqueModule m_module;
    HRESULT(STDAPICALLTYPE* m_canUnloadNow)() = nullptr;
    Plinth::ComPtr<IVkClassFactory> m_factory;
    std::unique_ptr<LoadInterfaces> m_shared;
    Plinth::ComPtr<ZelTools::CTaskMemorySpy> m_spy;
    bool m_spyRegistered = false;
    std::vector<MethodAnswer> m_expected;
};

} // namespace ZelTest
