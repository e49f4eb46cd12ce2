#pragma once
// The file log writer: appends one UTF-16 record per write to rotating files
// below the program-data folder. All writers of one executable, in any process,
// take turns through a named mutex, so they can share the files.
//
// A privileged process (elevated or the system) shares that folder with
// standard users, so it acts only through handles it has checked: its folders
// are made with protected descriptors and a folder that is a link or someone
// else's is never adopted; a file is written or truncated only when the held
// handle names exactly the intended file with one name, and made only anew
// (CREATE_NEW); its settings come only from a log.ini owned by the system or
// the administrators; its mutex is the administrators' own. Whatever it
// refuses, it logs nothing there and says why once on the debugger output.
#include <windows.h>

#include <atomic>
#include <string>

#include "etwlogging/LoggingIf.h"
#include "etwlogging/RotationIndexCache.h"
#include "plinth/FolderSecurity.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Owners.h"

namespace ETWLogging {

// Second half of the write mutex's name, after the process name and "_".
constexpr wchar_t kWriteMutexId[] = L"6F1C2B8E4A9D4E27B3C05D71E8A2F914";
// Descriptor of a privileged process's write mutex and rotation index section:
// the administrators own them and, with the system, alone may use them.
constexpr wchar_t kWriterObjectSddl[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The write mutex of a process name. A privileged process creates it with
// kWriterObjectSddl and takes one that already existed only when the system or
// the administrators own it; any other process creates it without a
// descriptor. 0, 1307 for another owner, or the Win32 code (5 when the mutex
// exists and may not be opened), with mutex empty on failure.
DWORD CreateWriteMutex(const std::wstring& processName, bool privileged, Plinth::UniqueHandle& mutex);

// GetLogRoot's code when the folder had to be cut to fit.
constexpr DWORD kErrorTruncated = 80;

class CLogging : public CLoggingIf
{
public:
    static constexpr DWORD kDefaultMaxSize = 0x40000;
    static constexpr DWORD kLargestMaxSize = 0xA00000;
    static constexpr DWORD kDefaultMaxEntries = 3;
    static constexpr DWORD kFewestEntries = 2;
    static constexpr DWORD kMostEntries = 100;
    static constexpr DWORD kDefaultSeverity = 3;
    static constexpr DWORD kHighestSeverity = 6;
    static constexpr DWORD kDefaultOptions = 16;
    // Severity of a writer whose folder could not be made: nothing passes.
    static constexpr DWORD kSeverityOff = 10000;
    static constexpr DWORD kMutexWaitMs = 7000;
    // The wait under the loader lock (the module's load and unload lines): a
    // line is rather lost than the loader held up.
    static constexpr DWORD kLoaderLockWaitMs = 5;
    // Room for a record written at process termination: the longest plain
    // message and its columns.
    static constexpr size_t kTerminationRecordChars = 4160 + 1024;
    static constexpr DWORD kNoIndex = MAXDWORD;

    CLogging() = default;
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    // The listener is not used. Returns 0, 87 for an empty group or host, 20001
    // when already initialised, GetLogRoot's code, 14, a Win32 code, or 258
    // when another writer kept the mutex for 7 seconds.
    DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host, LoggingConfigListenerIf* listener) override;
    DWORD Register() override;
    DWORD Uninit() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               ...) override;
    // Writes one record; no level test. Returns 0 without writing while the
    // writer is disabled; 87 for empty text, an unnamed level or a folder that
    // cannot be made or was refused; 258 (nothing written) when the mutex
    // stayed taken for 7 seconds (5 ms under the loader lock); 87 (record
    // written) when a full file could not be rotated because the new index
    // could not be stored; 4395 or 1142 (nothing written, the writer disabled)
    // when a privileged writer refused the file.
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    // False for every level while the writer is disabled.
    bool IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD entries) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    void SetSeverity(DWORD severity) override;
    DWORD GetSeverity() override;
    ULONG AddRef() override;
    // Destroys the object when the count reaches zero.
    ULONG Release() override;

    // The program-data folder in buffer (size characters, terminator included):
    // 0, 80 when it had to be cut, 87 for no buffer or no folder.
    virtual DWORD GetLogRoot(wchar_t* buffer, size_t size);

private:
    enum class DirectoryCheck
    {
        CheckAndCreate,
        Passed,
        Failed,
    };

    class MutexScope;

    DWORD Initialise(const wchar_t* group, HMODULE module, const wchar_t* host);
    DWORD BuildPaths();
    void LoadSettings();
    void DecideSettings(Plinth::CObfuscatedIniReader& local, Plinth::CObfuscatedIniReader& global);
    void ApplySetting(size_t which, DWORD value);
    bool DirectoryReady();
    // Disables the writer for good and says why on the debugger output.
    void Refuse(const wchar_t* what, const std::wstring& name, DWORD code);
    // This writer's folder, each folder on the way opened (made when missing)
    // and checked, the last held.
    DWORD OpenFolder(Plinth::UniqueHandle& folder) const;
    DWORD WriteRecord(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text);
    // At process termination other threads were killed wherever they were, so
    // neither the heap nor the C library's file locks may be taken: the record
    // is built on the stack and appended to the file this writer wrote last,
    // without reading the rotation index. 5023 when it has written none.
    DWORD WriteAtTermination(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text);
    DWORD OpenCurrentFile(Plinth::UniqueHandle& file, DWORD& opened, DWORD& indexResult);
    DWORD Rotate(DWORD current, DWORD next, Plinth::UniqueHandle& file, DWORD& opened, DWORD& indexResult);
    // The existing file, checked when privileged: 2 when there is none.
    DWORD OpenExisting(const std::wstring& path, DWORD access, bool trustedOwner, Plinth::UniqueHandle& file) const;
    // A file made new and empty in this writer's folder; privileged: CREATE_NEW
    // in the held folder, checked once made.
    DWORD CreateChecked(const std::wstring& path, DWORD access, Plinth::UniqueHandle& file) const;
    // The file made new, with the byte-order mark.
    DWORD MakeAnew(const std::wstring& path, Plinth::UniqueHandle& file);
    DWORD OpenForAppend(const std::wstring& path, Plinth::UniqueHandle& file);
    DWORD AppendAtTermination(const wchar_t* path, const wchar_t* record, DWORD bytes);
    // A privileged writer's log.ini, through a checked handle the reader holds.
    DWORD LoadTrustedIni(const std::wstring& path, Plinth::CObfuscatedIniReader& reader,
                         Plinth::UniqueHandle& held) const;
    // False when the name does not fit in chars characters.
    bool FormatFileName(DWORD index, wchar_t* path, size_t chars) const;
    std::wstring FileName(DWORD index) const;
    DWORD ReadLastLogIdx();
    DWORD StoreLastLogIdx(DWORD index);
    void Reset();

    bool m_initialised = false;
    bool m_privileged = false;
    // A privileged writer's program-data folder, in its final form.
    std::wstring m_baseFolder;
    std::wstring m_group;
    std::wstring m_processName;
    std::wstring m_moduleFileName;
    DWORD m_processId = 0;
    std::wstring m_host;
    std::wstring m_logDirectory;
    LONG m_refCount = 0;
    Plinth::UniqueHandle m_mutex;
    DWORD m_maxSize = kDefaultMaxSize;
    DWORD m_maxEntries = kDefaultMaxEntries;
    std::atomic<DWORD> m_severity{kDefaultSeverity};
    DWORD m_options = kDefaultOptions;
    std::wstring m_globalIni;
    std::wstring m_localIni;
    std::atomic<bool> m_enabled{true};
    std::atomic<DirectoryCheck> m_directoryCheck{DirectoryCheck::CheckAndCreate};
    // Index of the file this writer wrote last, and (privileged) its identity.
    std::atomic<DWORD> m_lastIndex{kNoIndex};
    BY_HANDLE_FILE_INFORMATION m_lastFile = {};
    bool m_lastFileKnown = false;
    // A privileged writer's; empty when the section could not be had.
    internal::CRotationIndexCache m_indexCache;
};

// Test seams, for what cannot be made to happen here. Wine gives every process
// the administrators' token, so a test stands in for a process without
// privilege (the hook answers whether the process is privileged); and a folder
// swapped for a link between the check of a privileged writer's folder and
// the making of a file in it cannot be timed, so a test is called at that
// moment with the file's path. Each setter returns the hook it replaced.
using PrivilegeHook = bool (*)();
using BeforeCreateHook = void (*)(const wchar_t* path);
PrivilegeHook SetPrivilegeHook(PrivilegeHook hook);
BeforeCreateHook SetBeforeCreateHook(BeforeCreateHook hook);

} // namespace ETWLogging
