#pragma once
// The file log writer: appends one UTF-16 record per write to rotating files
// below the program-data folder. All writers of one executable, in any process,
// take turns through a named mutex, so they can share the files.
#include <windows.h>

#include <atomic>
#include <string>

#include "etwlogging/LoggingIf.h"
#include "plinth/Owners.h"

namespace ETWLogging {

// Second half of the write mutex's name, after the process name and "_".
constexpr wchar_t kWriteMutexId[] = L"6F1C2B8E4A9D4E27B3C05D71E8A2F914";

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
    // cannot be made; 258 (nothing written) when the mutex stayed taken for 7
    // seconds; 87 (record written) when a full file could not be rotated
    // because the new index could not be stored.
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
    void LoadSettings();
    void ApplySetting(size_t which, DWORD value);
    bool DirectoryReady();
    DWORD WriteRecord(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text);
    // At process termination other threads were killed wherever they were, so
    // neither the heap nor the C library's file locks may be taken: the record
    // is built on the stack and appended to the file this writer wrote last,
    // without reading the rotation index. 5023 when it has written none.
    DWORD WriteAtTermination(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text);
    DWORD OpenCurrentFile(Plinth::UniqueHandle& file, DWORD& opened, DWORD& indexResult);
    DWORD Rotate(DWORD current, DWORD next, Plinth::UniqueHandle& file, DWORD& opened, DWORD& indexResult);
    DWORD CreateNew(const std::wstring& path, Plinth::UniqueHandle& file);
    DWORD OpenForAppend(const wchar_t* path, Plinth::UniqueHandle& file);
    // False when the name does not fit in chars characters.
    bool FormatFileName(DWORD index, wchar_t* path, size_t chars) const;
    std::wstring FileName(DWORD index) const;
    DWORD ReadLastLogIdx() const;
    DWORD StoreLastLogIdx(DWORD index) const;
    void Reset();

    bool m_initialised = false;
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
    // Index of the file this writer wrote last.
    std::atomic<DWORD> m_lastIndex{kNoIndex};
};

} // namespace ETWLogging
