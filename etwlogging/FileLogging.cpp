#include "etwlogging/FileLogging.h"

#include <shlobj.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

#include "etwlogging/LogRecordBuilder.h"
#include "etwlogging/ModuleLogger.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Paths.h"
#include "plinth/WideFormat.h"

namespace ETWLogging {

namespace {

constexpr size_t kPathChars = MAX_PATH;
constexpr wchar_t kSection[] = L"Config";
constexpr wchar_t kLastLogIdx[] = L"LastLogIdx";
constexpr wchar_t kIniName[] = L"log.ini";
constexpr DWORD kFileAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
constexpr BYTE kByteOrderMark[] = {0xFF, 0xFE};

struct Setting
{
    const wchar_t* key;
    int32_t defaultValue;
    int32_t lowest;
    int32_t highest;
};

enum SettingIndex : size_t
{
    kEnable,
    kMaxSize,
    kMaxEntries,
    kSeverity,
    kOptions,
};

// In the order they are decided, indexed by SettingIndex.
constexpr Setting kSettings[] = {
    {L"Enable", 1, INT32_MIN, INT32_MAX},
    {L"MaxSize", CLogging::kDefaultMaxSize, CLogging::kDefaultMaxSize, CLogging::kLargestMaxSize},
    {L"MaxEntries", CLogging::kDefaultMaxEntries, CLogging::kFewestEntries, CLogging::kMostEntries},
    {L"Severity", CLogging::kDefaultSeverity, 0, CLogging::kHighestSeverity},
    {L"Options", CLogging::kDefaultOptions, INT32_MIN, INT32_MAX},
};

bool IsValid(const Setting& setting, int32_t value)
{
    return value >= setting.lowest && value <= setting.highest;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

} // namespace

// Holds the write mutex for a scope. Releases through the object's current
// handle, because Init replaces the handle while it holds the mutex (both name
// the same mutex).
class CLogging::MutexScope
{
public:
    explicit MutexScope(const Plinth::UniqueHandle& mutex) : m_mutex(mutex)
    {
        if (!mutex)
            return;
        switch (::WaitForSingleObject(mutex.get(), kMutexWaitMs)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            m_held = true;
            break;
        case WAIT_TIMEOUT:
            m_result = WAIT_TIMEOUT;
            break;
        default:
            m_result = LastErrorOr(ERROR_INVALID_HANDLE);
            break;
        }
    }
    ~MutexScope()
    {
        if (m_held)
            ::ReleaseMutex(m_mutex.get());
    }
    MutexScope(const MutexScope&) = delete;
    MutexScope& operator=(const MutexScope&) = delete;

    // 0 when the work may go on, else the code the caller returns.
    DWORD Result() const { return m_result; }

private:
    const Plinth::UniqueHandle& m_mutex;
    bool m_held = false;
    DWORD m_result = ERROR_SUCCESS;
};

CLogging::~CLogging()
{
    Reset();
}

DWORD CLogging::Init(const wchar_t* group, HMODULE module, const wchar_t* host, LoggingConfigListenerIf*)
{
    MutexScope lock(m_mutex);
    if (lock.Result() != ERROR_SUCCESS)
        return lock.Result();
    if (m_initialised)
        return kErrorAlreadyInitialised;
    DWORD result;
    try {
        result = Initialise(group, module, host);
    } catch (const std::bad_alloc&) {
        result = ERROR_OUTOFMEMORY;
    }
    if (result != ERROR_SUCCESS)
        Reset();
    return result;
}

DWORD CLogging::Initialise(const wchar_t* group, HMODULE module, const wchar_t* host)
{
    m_initialised = false;
    if ((group && !*group) || (host && !*host))
        return ERROR_INVALID_PARAMETER;
    m_group = group ? group : L"";

    std::wstring executableDirectory;
    std::wstring executableName;
    if (!Plinth::GetModuleDirectory(nullptr, executableDirectory, false, executableName))
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    m_processName = executableName.substr(0, executableName.rfind(L'.'));
    if (m_processName.empty())
        return ERROR_OUTOFMEMORY;

    const std::wstring mutexName = m_processName + L"_" + kWriteMutexId;
    Plinth::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, mutexName.c_str()));
    if (!mutex)
        return LastErrorOr(ERROR_INVALID_HANDLE);
    m_mutex = std::move(mutex);

    m_moduleFileName = executableName;
    std::wstring moduleDirectory;
    std::wstring moduleName;
    if (module && Plinth::GetModuleDirectory(module, moduleDirectory, false, moduleName))
        m_moduleFileName = moduleName;
    m_host = host ? host : L"";

    wchar_t root[kPathChars] = {};
    const DWORD rootResult = GetLogRoot(root, kPathChars);
    if (rootResult != ERROR_SUCCESS)
        return rootResult;
    const std::wstring logRoot = std::wstring(root) + L"\\Varkon\\" + L"VKLOGS" + L"\\";
    m_logDirectory = m_group.empty() ? logRoot + m_processName : logRoot + m_group + L"\\" + m_processName;
    m_localIni = m_logDirectory + L"\\" + kIniName;
    m_globalIni = logRoot + kIniName;

    LoadSettings();
    m_processId = ::GetCurrentProcessId();
    m_initialised = true;
    return ERROR_SUCCESS;
}

void CLogging::LoadSettings()
{
    if (!Exists(m_localIni) && !Exists(m_globalIni))
        return;
    Plinth::CObfuscatedIniReader local(true);
    Plinth::CObfuscatedIniReader global(true);
    local.Load(m_localIni);
    global.Load(m_globalIni);
    for (size_t which = 0; which < std::size(kSettings); ++which) {
        const Setting& setting = kSettings[which];
        int32_t value = 0;
        if (local.GetInt(kSection, setting.key, value)) {
            if (IsValid(setting, value)) {
                ApplySetting(which, static_cast<DWORD>(value));
                continue;
            }
            if (!local.WriteInt(kSection, setting.key, setting.defaultValue))
                continue;
        }
        if (!global.GetInt(kSection, setting.key, value)) {
            ApplySetting(which, static_cast<DWORD>(setting.defaultValue));
            continue;
        }
        if (IsValid(setting, value)) {
            ApplySetting(which, static_cast<DWORD>(value));
            continue;
        }
        if (global.WriteInt(kSection, setting.key, setting.defaultValue))
            ApplySetting(which, static_cast<DWORD>(setting.defaultValue));
    }
}

void CLogging::ApplySetting(size_t which, DWORD value)
{
    switch (which) {
    case kEnable:
        m_enabled = value != 0;
        break;
    case kMaxSize:
        SetMaxSize(value);
        break;
    case kMaxEntries:
        SetMaxEntries(value);
        break;
    case kSeverity:
        m_severity = value;
        break;
    default:
        m_options = value;
        break;
    }
}

DWORD CLogging::Register()
{
    return ERROR_SUCCESS;
}

DWORD CLogging::Uninit()
{
    MutexScope lock(m_mutex);
    if (lock.Result() != ERROR_SUCCESS)
        return lock.Result();
    if (!m_initialised)
        return kErrorNotInitialised;
    Reset();
    return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled)
{
    m_enabled = enabled;
}

bool CLogging::IsEnabled()
{
    return m_enabled;
}

DWORD CLogging::LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    if (!IsEnabled() || !IsLevelEnabled(level))
        return ERROR_SUCCESS;
    va_list args;
    va_start(args, format);
    const DWORD result = LogFormattedV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CLogging::Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    // A writer whose folder could not be made is disabled too, but says so.
    if (!m_enabled)
        return m_directoryCheck == DirectoryCheck::Failed ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    // The named mutex is the only wait: threads of this process take turns on
    // it as other processes do, each waiting at most 7 seconds, and a thread
    // killed while holding it leaves it abandoned, which the next writer takes.
    MutexScope lock(m_mutex);
    if (lock.Result() != ERROR_SUCCESS)
        return lock.Result();
    // Before Init there is no folder to check; checking would disable the
    // writer for good.
    if (!m_initialised || !text || !*text)
        return ERROR_INVALID_PARAMETER;
    if (internal::ProcessTerminating())
        return WriteAtTermination(file, function, line, level, text);
    try {
        if (!DirectoryReady())
            return ERROR_INVALID_PARAMETER;
        return WriteRecord(file, function, line, level, text);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

bool CLogging::DirectoryReady()
{
    if (m_directoryCheck == DirectoryCheck::CheckAndCreate) {
        if (Plinth::CreateDirectoryPath(m_logDirectory.c_str(), nullptr)) {
            m_directoryCheck = DirectoryCheck::Passed;
        } else {
            m_directoryCheck = DirectoryCheck::Failed;
            m_enabled = false;
            m_severity = kSeverityOff;
        }
    }
    return m_directoryCheck == DirectoryCheck::Passed;
}

DWORD CLogging::WriteRecord(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    // Built before the file is opened, so a record that cannot be built neither
    // creates nor rotates a file.
    internal::RecordContext context;
    context.options = m_options;
    context.processId = m_processId;
    context.moduleFileName = m_moduleFileName.c_str();
    DWORD bytes = 0;
    std::unique_ptr<wchar_t[]> record;
    DWORD result =
        internal::BuildLogRecord(context, file, function, static_cast<DWORD>(line), level, text, &bytes, &record);
    if (result != ERROR_SUCCESS)
        return result;

    Plinth::UniqueHandle current;
    DWORD index = 0;
    DWORD indexResult = ERROR_SUCCESS;
    result = OpenCurrentFile(current, index, indexResult);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD written = 0;
    if (!::WriteFile(current.get(), record.get(), bytes - sizeof(wchar_t), &written, nullptr))
        return LastErrorOr(ERROR_WRITE_FAULT);
    m_lastIndex = index;
    if (m_options & internal::OptionDebuggerMirror)
        ::OutputDebugStringW(record.get());
    return indexResult;
}

DWORD CLogging::WriteAtTermination(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                                   const wchar_t* text)
{
    wchar_t path[2 * kPathChars];
    const DWORD index = m_lastIndex;
    if (index == kNoIndex || !FormatFileName(index, path, std::size(path)))
        return ERROR_INVALID_STATE;
    internal::RecordContext context;
    context.options = m_options;
    context.processId = m_processId;
    context.moduleFileName = m_moduleFileName.c_str();
    wchar_t record[kTerminationRecordChars];
    DWORD bytes = 0;
    DWORD result = internal::BuildLogRecordInto(context, file, function, static_cast<DWORD>(line), level, text, record,
                                                std::size(record), &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    Plinth::UniqueHandle out;
    result = OpenForAppend(path, out);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD written = 0;
    if (!::WriteFile(out.get(), record, bytes - sizeof(wchar_t), &written, nullptr))
        return LastErrorOr(ERROR_WRITE_FAULT);
    return ERROR_SUCCESS;
}

bool CLogging::FormatFileName(DWORD index, wchar_t* path, size_t chars) const
{
    return Plinth::FormatWide(path, chars, L"%s\\%s%s%s%0.3u.log", m_logDirectory.c_str(), m_processName.c_str(),
                              m_host.empty() ? L"" : L"_", m_host.c_str(), index) > 0;
}

std::wstring CLogging::FileName(DWORD index) const
{
    wchar_t path[2 * kPathChars];
    return FormatFileName(index, path, std::size(path)) ? path : L"";
}

// opened receives the index of the file opened; indexResult the code of
// storing a new rotation index, 0 when none was stored.
DWORD CLogging::OpenCurrentFile(Plinth::UniqueHandle& file, DWORD& opened, DWORD& indexResult)
{
    if (m_logDirectory.empty() || m_processName.empty())
        return ERROR_INVALID_PARAMETER;
    const DWORD index = ReadLastLogIdx();
    if (index >= m_maxEntries)
        return Rotate(0, 0, file, opened, indexResult);
    opened = index;
    const std::wstring current = FileName(index);
    WIN32_FILE_ATTRIBUTE_DATA found;
    if (!::GetFileAttributesExW(current.c_str(), GetFileExInfoStandard, &found))
        return CreateNew(current, file);
    if (found.nFileSizeLow >= m_maxSize)
        return Rotate(index, index + 1 >= m_maxEntries ? 0 : index + 1, file, opened, indexResult);
    return OpenForAppend(current.c_str(), file);
}

// The index is stored before its file is made anew: a file made anew under an
// index that was not stored would be made anew again by the next record,
// destroying this one. So when the index cannot be stored, the record goes to
// the current file, past its size limit.
DWORD CLogging::Rotate(DWORD current, DWORD next, Plinth::UniqueHandle& file, DWORD& opened, DWORD& indexResult)
{
    indexResult = StoreLastLogIdx(next);
    opened = indexResult == ERROR_SUCCESS ? next : current;
    if (indexResult != ERROR_SUCCESS)
        return OpenForAppend(FileName(current).c_str(), file);
    return CreateNew(FileName(next), file);
}

DWORD CLogging::CreateNew(const std::wstring& path, Plinth::UniqueHandle& file)
{
    const HANDLE created = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, CREATE_ALWAYS, kFileAttributes, nullptr);
    if (created == INVALID_HANDLE_VALUE)
        return LastErrorOr(ERROR_OPEN_FAILED);
    file.reset(created);
    DWORD written = 0;
    if (!::WriteFile(file.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr))
        return LastErrorOr(ERROR_WRITE_FAULT);
    return ERROR_SUCCESS;
}

// Opens the file at its end; a file that is gone is made anew.
DWORD CLogging::OpenForAppend(const wchar_t* path, Plinth::UniqueHandle& file)
{
    const HANDLE opened = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, kFileAttributes, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return LastErrorOr(ERROR_OPEN_FAILED);
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    file.reset(opened);
    DWORD written = 0;
    if (!existed && !::WriteFile(file.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr))
        return LastErrorOr(ERROR_WRITE_FAULT);
    LARGE_INTEGER end = {};
    if (!::SetFilePointerEx(file.get(), end, nullptr, FILE_END))
        return LastErrorOr(ERROR_SEEK);
    return ERROR_SUCCESS;
}

DWORD CLogging::ReadLastLogIdx() const
{
    Plinth::CObfuscatedIniReader reader(true);
    int32_t index = 0;
    if (!reader.Load(m_localIni) || !reader.GetInt(kSection, kLastLogIdx, index))
        return 0;
    return static_cast<DWORD>(index);
}

DWORD CLogging::StoreLastLogIdx(DWORD index) const
{
    if (m_localIni.empty())
        return ERROR_INVALID_PARAMETER;
    Plinth::CObfuscatedIniReader reader(true);
    reader.Load(m_localIni);
    return reader.WriteInt(kSection, kLastLogIdx, static_cast<int32_t>(index)) ? ERROR_SUCCESS
                                                                               : ERROR_INVALID_PARAMETER;
}

bool CLogging::IsLevelEnabled(DWORD level)
{
    return m_enabled && level >= m_severity;
}

void CLogging::SetMaxEntries(DWORD entries)
{
    m_maxEntries = entries < kFewestEntries ? kFewestEntries : entries > kMostEntries ? kMostEntries : entries;
}

DWORD CLogging::GetMaxEntries()
{
    return m_maxEntries;
}

void CLogging::SetMaxSize(DWORD bytes)
{
    m_maxSize = bytes < kDefaultMaxSize ? kDefaultMaxSize : bytes > kLargestMaxSize ? kLargestMaxSize : bytes;
}

DWORD CLogging::GetMaxSize()
{
    return m_maxSize;
}

void CLogging::SetSeverity(DWORD severity)
{
    m_severity = severity == 0 ? 1 : severity > kHighestSeverity ? kHighestSeverity : severity;
}

DWORD CLogging::GetSeverity()
{
    return m_severity;
}

ULONG CLogging::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_refCount));
}

ULONG CLogging::Release()
{
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

DWORD CLogging::GetLogRoot(wchar_t* buffer, size_t size)
{
    if (!buffer || size == 0)
        return ERROR_INVALID_PARAMETER;
    Plinth::UniqueCoTaskMem<wchar_t> folder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, folder.put())) || !folder)
        return ERROR_INVALID_PARAMETER;
    const size_t length = std::wcslen(folder.get());
    const size_t copied = length < size ? length : size - 1;
    std::wmemcpy(buffer, folder.get(), copied);
    buffer[copied] = L'\0';
    return copied < length ? kErrorTruncated : ERROR_SUCCESS;
}

void CLogging::Reset()
{
    m_group.clear();
    m_processName.clear();
    m_moduleFileName.clear();
    m_host.clear();
    m_logDirectory.clear();
    m_globalIni.clear();
    m_localIni.clear();
    m_lastIndex = kNoIndex;
    m_maxSize = kDefaultMaxSize;
    m_maxEntries = kDefaultMaxEntries;
    m_severity = kDefaultSeverity;
    m_options = kDefaultOptions;
    m_enabled = true;
    m_directoryCheck = DirectoryCheck::CheckAndCreate;
    m_refCount = 0;
    m_initialised = false;
}

} // namespace ETWLogging
