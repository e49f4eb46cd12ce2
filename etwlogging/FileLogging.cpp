#include "etwlogging/FileLogging.h"

#include <shlobj.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

#include "etwlogging/LogRecordBuilder.h"
#include "etwlogging/ModuleLogger.h"
#include "plinth/Paths.h"
#include "plinth/WideFormat.h"

namespace ETWLogging {

namespace {

constexpr size_t kPathChars = MAX_PATH;
constexpr wchar_t kSection[] = L"Config";
constexpr wchar_t kLastLogIdx[] = L"LastLogIdx";
constexpr wchar_t kIniName[] = L"log.ini";
constexpr DWORD kFileAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
constexpr DWORD kFileAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kFileSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr BYTE kByteOrderMark[] = {0xFF, 0xFE};

std::atomic<PrivilegeHook> g_privilegeHook{nullptr};
std::atomic<BeforeCreateHook> g_beforeCreate{nullptr};

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

bool RunsPrivileged()
{
    const PrivilegeHook hook = g_privilegeHook.load();
    return hook ? hook() : Plinth::IsPrivilegedProcess();
}

bool Missing(DWORD result)
{
    return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND;
}

// What a privileged writer met instead of a file or folder of its own: a link,
// another name, another owner, or something it cannot see standing where it
// would make a file.
bool IsRefusal(DWORD result)
{
    return result == Plinth::kErrorReparsePoint || result == ERROR_TOO_MANY_LINKS || result == ERROR_INVALID_OWNER ||
           result == ERROR_FILE_EXISTS;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

DWORD WriteByteOrderMark(HANDLE file)
{
    DWORD written = 0;
    return ::WriteFile(file, kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)
               ? ERROR_SUCCESS
               : LastErrorOr(ERROR_WRITE_FAULT);
}

DWORD SeekTo(HANDLE file, DWORD method)
{
    LARGE_INTEGER none = {};
    return ::SetFilePointerEx(file, none, nullptr, method) ? ERROR_SUCCESS : LastErrorOr(ERROR_SEEK);
}

} // namespace

DWORD CreateWriteMutex(const std::wstring& processName, bool privileged, Plinth::UniqueHandle& mutex)
{
    mutex.reset();
    const std::wstring name = processName + L"_" + kWriteMutexId;
    Plinth::UniqueLocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (privileged) {
        const DWORD made = Plinth::MakeSecurityDescriptor(kWriterObjectSddl, descriptor);
        if (made != ERROR_SUCCESS)
            return made;
        attributes.lpSecurityDescriptor = descriptor.get();
    }
    const HANDLE created = ::CreateMutexW(privileged ? &attributes : nullptr, FALSE, name.c_str());
    const DWORD createdResult = ::GetLastError();
    if (!created)
        return createdResult != ERROR_SUCCESS ? createdResult : ERROR_INVALID_HANDLE;
    mutex.reset(created);
    if (!privileged || createdResult != ERROR_ALREADY_EXISTS)
        return ERROR_SUCCESS;
    // Made before us: by another privileged writer, or by someone who could
    // hold it for ever or keep the descriptor open to all.
    const DWORD owner = Plinth::CheckOwner(mutex.get(), SE_KERNEL_OBJECT);
    if (owner != ERROR_SUCCESS)
        mutex.reset();
    return owner;
}

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
        const DWORD waitMs = internal::UnderLoaderLock() ? kLoaderLockWaitMs : kMutexWaitMs;
        switch (::WaitForSingleObject(mutex.get(), waitMs)) {
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

    m_privileged = RunsPrivileged();
    Plinth::UniqueHandle mutex;
    const DWORD mutexResult = CreateWriteMutex(m_processName, m_privileged, mutex);
    if (mutexResult != ERROR_SUCCESS && !m_privileged)
        return mutexResult;
    // A refused mutex leaves the handle that Init may be holding, to be released.
    if (mutex)
        m_mutex = std::move(mutex);

    m_moduleFileName = executableName;
    std::wstring moduleDirectory;
    std::wstring moduleName;
    if (module && Plinth::GetModuleDirectory(module, moduleDirectory, false, moduleName))
        m_moduleFileName = moduleName;
    m_host = host ? host : L"";

    const DWORD pathsResult = BuildPaths();
    if (pathsResult != ERROR_SUCCESS)
        return pathsResult;
    const std::wstring mutexName = m_processName + L"_" + kWriteMutexId;
    // A writer without a mutex of its own takes no settings either: it writes nothing.
    if (mutexResult != ERROR_SUCCESS) {
        Refuse(L"write mutex", mutexName, mutexResult);
    } else {
        LoadSettings();
        // Without the section every record loads the index from log.ini.
        if (m_privileged)
            m_indexCache.Open(mutexName + L"_index", kWriterObjectSddl);
    }
    m_processId = ::GetCurrentProcessId();
    m_initialised = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::BuildPaths()
{
    wchar_t root[kPathChars] = {};
    const DWORD rootResult = GetLogRoot(root, kPathChars);
    if (rootResult != ERROR_SUCCESS)
        return rootResult;
    std::wstring base = root;
    if (m_privileged) {
        // Held files and folders are checked against this form of their paths.
        const DWORD baseResult = Plinth::GetBaseFolder(root, m_baseFolder);
        if (baseResult != ERROR_SUCCESS)
            return baseResult;
        base = m_baseFolder;
    }
    const std::wstring logRoot = base + L"\\Varkon\\" + L"VKLOGS" + L"\\";
    m_logDirectory = m_group.empty() ? logRoot + m_processName : logRoot + m_group + L"\\" + m_processName;
    m_localIni = m_logDirectory + L"\\" + kIniName;
    m_globalIni = logRoot + kIniName;
    return ERROR_SUCCESS;
}

void CLogging::LoadSettings()
{
    Plinth::CObfuscatedIniReader local(true);
    Plinth::CObfuscatedIniReader global(true);
    if (!m_privileged) {
        if (!Exists(m_localIni) && !Exists(m_globalIni))
            return;
        local.Load(m_localIni);
        global.Load(m_globalIni);
        DecideSettings(local, global);
        return;
    }
    // A log.ini that is not exactly the one expected, or that a user owns,
    // counts as missing.
    Plinth::UniqueHandle localFile;
    Plinth::UniqueHandle globalFile;
    const DWORD localResult = LoadTrustedIni(m_localIni, local, localFile);
    const DWORD globalResult = LoadTrustedIni(m_globalIni, global, globalFile);
    if (localResult == ERROR_SUCCESS || globalResult == ERROR_SUCCESS)
        DecideSettings(local, global);
}

void CLogging::DecideSettings(Plinth::CObfuscatedIniReader& local, Plinth::CObfuscatedIniReader& global)
{
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
    if (m_directoryCheck != DirectoryCheck::CheckAndCreate)
        return m_directoryCheck == DirectoryCheck::Passed;
    DWORD result = ERROR_SUCCESS;
    if (m_privileged) {
        Plinth::UniqueHandle folder;
        result = OpenFolder(folder);
    } else if (!Plinth::CreateDirectoryPath(m_logDirectory.c_str(), &result)) {
        result = result != ERROR_SUCCESS ? result : ERROR_INVALID_PARAMETER;
    } else {
        result = ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) {
        Refuse(L"log folder", m_logDirectory, result);
        return false;
    }
    m_directoryCheck = DirectoryCheck::Passed;
    return true;
}

void CLogging::Refuse(const wchar_t* what, const std::wstring& name, DWORD code)
{
    m_directoryCheck = DirectoryCheck::Failed;
    m_enabled = false;
    m_severity = kSeverityOff;
    std::wstring line;
    if (Plinth::FormatWideString(line, L"File log writer of %s: %s %s cannot be used (error %lu); nothing is logged\n",
                                 m_processName.c_str(), what, name.c_str(), code))
        ::OutputDebugStringW(line.c_str());
}

DWORD CLogging::OpenFolder(Plinth::UniqueHandle& folder) const
{
    Plinth::FolderStep steps[4] = {{L"Varkon", Plinth::kProtectedFolderSddl},
                                   {L"VKLOGS", Plinth::kProtectedFolderSddl}};
    size_t count = 2;
    // Users may add a folder of their own to a group, for a host without privilege.
    if (!m_group.empty())
        steps[count++] = {m_group.c_str(), Plinth::kLogGroupFolderSddl};
    steps[count++] = {m_processName.c_str(), Plinth::kProtectedFolderSddl};
    std::wstring path;
    return Plinth::OpenTrustedFolderPath(m_baseFolder, steps, count, FILE_TRAVERSE, folder, path);
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
    if (result != ERROR_SUCCESS) {
        if (m_privileged && IsRefusal(result))
            Refuse(L"log file", FileName(index), result);
        return result;
    }
    DWORD written = 0;
    if (!::WriteFile(current.get(), record.get(), bytes - sizeof(wchar_t), &written, nullptr))
        return LastErrorOr(ERROR_WRITE_FAULT);
    // The identity costs a look at the volume, so it is taken only for a file
    // this writer has not written before.
    if (m_privileged && (index != m_lastIndex || !m_lastFileKnown))
        m_lastFileKnown = ::GetFileInformationByHandle(current.get(), &m_lastFile) != FALSE;
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
    const DWORD result = internal::BuildLogRecordInto(context, file, function, static_cast<DWORD>(line), level, text,
                                                      record, std::size(record), &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    return AppendAtTermination(path, record, bytes);
}

// A privileged writer appends only to the very file it wrote last, still with
// one name, compared by identity: its checks need the heap.
DWORD CLogging::AppendAtTermination(const wchar_t* path, const wchar_t* record, DWORD bytes)
{
    const DWORD disposition = m_privileged ? OPEN_EXISTING : OPEN_ALWAYS;
    const DWORD flags = kFileAttributes | (m_privileged ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const Plinth::UniqueHandle out(
        Plinth::HandleOrNull(::CreateFileW(path, kFileAccess, kFileSharing, nullptr, disposition, flags, nullptr)));
    if (!out)
        return LastErrorOr(ERROR_OPEN_FAILED);
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION info = {};
    DWORD result = ERROR_SUCCESS;
    if (m_privileged) {
        if (!m_lastFileKnown || !::GetFileInformationByHandle(out.get(), &info) || !SameFile(info, m_lastFile) ||
            info.nNumberOfLinks != 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return Plinth::kErrorReparsePoint;
    } else if (!existed) {
        result = WriteByteOrderMark(out.get());
    }
    if (result == ERROR_SUCCESS)
        result = SeekTo(out.get(), FILE_END);
    DWORD written = 0;
    if (result == ERROR_SUCCESS && !::WriteFile(out.get(), record, bytes - sizeof(wchar_t), &written, nullptr))
        result = LastErrorOr(ERROR_WRITE_FAULT);
    return result;
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
    const DWORD result = OpenExisting(current, kFileAccess, false, file);
    if (Missing(result))
        return MakeAnew(current, file);
    if (result != ERROR_SUCCESS)
        return result;
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size))
        return LastErrorOr(ERROR_READ_FAULT);
    if (size.QuadPart >= m_maxSize) {
        file.reset();
        return Rotate(index, index + 1 >= m_maxEntries ? 0 : index + 1, file, opened, indexResult);
    }
    return SeekTo(file.get(), FILE_END);
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
        return OpenForAppend(FileName(current), file);
    return MakeAnew(FileName(next), file);
}

DWORD CLogging::OpenExisting(const std::wstring& path, DWORD access, bool trustedOwner,
                             Plinth::UniqueHandle& file) const
{
    if (!m_privileged) {
        file.reset(Plinth::HandleOrNull(
            ::CreateFileW(path.c_str(), access, kFileSharing, nullptr, OPEN_EXISTING, kFileAttributes, nullptr)));
        return file ? ERROR_SUCCESS : LastErrorOr(ERROR_OPEN_FAILED);
    }
    file.reset(
        Plinth::HandleOrNull(::CreateFileW(path.c_str(), access | READ_CONTROL, kFileSharing, nullptr, OPEN_EXISTING,
                                           kFileAttributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    if (!file)
        return LastErrorOr(ERROR_OPEN_FAILED);
    DWORD result = Plinth::CheckHeldFile(file.get(), path);
    if (result == ERROR_SUCCESS && trustedOwner)
        result = Plinth::CheckOwner(file.get(), SE_FILE_OBJECT);
    if (result != ERROR_SUCCESS)
        file.reset();
    return result;
}

DWORD CLogging::CreateChecked(const std::wstring& path, DWORD access, Plinth::UniqueHandle& file) const
{
    Plinth::UniqueHandle folder;
    DWORD result = OpenFolder(folder);
    if (result != ERROR_SUCCESS)
        return result;
    if (const BeforeCreateHook hook = g_beforeCreate.load())
        hook(path.c_str());
    file.reset(Plinth::HandleOrNull(
        ::CreateFileW(path.c_str(), access, kFileSharing, nullptr, CREATE_NEW, kFileAttributes, nullptr)));
    if (!file)
        return LastErrorOr(ERROR_OPEN_FAILED);
    // The folder held is the folder checked, but where the platform lets a
    // held folder be renamed a link may stand in its place by now: a file made
    // through it is left as it is, empty, and not used.
    result = Plinth::CheckHeldFile(file.get(), path);
    if (result != ERROR_SUCCESS)
        file.reset();
    return result;
}

DWORD CLogging::MakeAnew(const std::wstring& path, Plinth::UniqueHandle& file)
{
    m_lastFileKnown = false;
    DWORD result = ERROR_SUCCESS;
    if (!m_privileged) {
        file.reset(Plinth::HandleOrNull(
            ::CreateFileW(path.c_str(), kFileAccess, kFileSharing, nullptr, CREATE_ALWAYS, kFileAttributes, nullptr)));
        result = file ? ERROR_SUCCESS : LastErrorOr(ERROR_OPEN_FAILED);
    } else {
        // An old file of the rotation is emptied only through a handle checked
        // to name it alone.
        result = OpenExisting(path, kFileAccess, false, file);
        if (result == ERROR_SUCCESS)
            result = SeekTo(file.get(), FILE_BEGIN) == ERROR_SUCCESS && ::SetEndOfFile(file.get())
                         ? ERROR_SUCCESS
                         : LastErrorOr(ERROR_WRITE_FAULT);
        else if (Missing(result))
            result = CreateChecked(path, kFileAccess, file);
    }
    return result == ERROR_SUCCESS ? WriteByteOrderMark(file.get()) : result;
}

// Opens the file at its end; a file that is gone is made anew.
DWORD CLogging::OpenForAppend(const std::wstring& path, Plinth::UniqueHandle& file)
{
    const DWORD result = OpenExisting(path, kFileAccess, false, file);
    if (Missing(result))
        return MakeAnew(path, file);
    return result == ERROR_SUCCESS ? SeekTo(file.get(), FILE_END) : result;
}

// Settings that may not be written back are still read.
DWORD CLogging::LoadTrustedIni(const std::wstring& path, Plinth::CObfuscatedIniReader& reader,
                               Plinth::UniqueHandle& held) const
{
    DWORD result = OpenExisting(path, kFileAccess, true, held);
    if (result == ERROR_ACCESS_DENIED || result == ERROR_SHARING_VIOLATION)
        result = OpenExisting(path, GENERIC_READ, true, held);
    if (result != ERROR_SUCCESS)
        return result;
    return reader.LoadHeld(held.get()) ? ERROR_SUCCESS : ERROR_READ_FAULT;
}

DWORD CLogging::ReadLastLogIdx()
{
    Plinth::CObfuscatedIniReader reader(true);
    int32_t index = 0;
    if (!m_privileged)
        return reader.Load(m_localIni) && reader.GetInt(kSection, kLastLogIdx, index) ? static_cast<DWORD>(index) : 0;
    // Taken before the file is read: a change after it shows next time.
    WIN32_FILE_ATTRIBUTE_DATA now = {};
    if (!::GetFileAttributesExW(m_localIni.c_str(), GetFileExInfoStandard, &now))
        return 0;
    DWORD kept = 0;
    if (m_indexCache.Find(m_localIni, now, kept))
        return kept;
    Plinth::UniqueHandle held;
    if (LoadTrustedIni(m_localIni, reader, held) != ERROR_SUCCESS)
        return 0;
    if (!reader.GetInt(kSection, kLastLogIdx, index))
        index = 0;
    m_indexCache.Keep(m_localIni, now, static_cast<DWORD>(index));
    return static_cast<DWORD>(index);
}

DWORD CLogging::StoreLastLogIdx(DWORD index)
{
    if (m_localIni.empty())
        return ERROR_INVALID_PARAMETER;
    Plinth::CObfuscatedIniReader reader(true);
    Plinth::UniqueHandle held;
    if (!m_privileged) {
        reader.Load(m_localIni);
    } else {
        DWORD result = LoadTrustedIni(m_localIni, reader, held);
        if (Missing(result) && (result = CreateChecked(m_localIni, kFileAccess, held)) == ERROR_SUCCESS)
            result = reader.LoadHeld(held.get()) ? ERROR_SUCCESS : ERROR_READ_FAULT;
        if (result != ERROR_SUCCESS)
            return ERROR_INVALID_PARAMETER;
    }
    if (!reader.WriteInt(kSection, kLastLogIdx, static_cast<int32_t>(index))) {
        m_indexCache.Forget();
        return ERROR_INVALID_PARAMETER;
    }
    held.reset();
    WIN32_FILE_ATTRIBUTE_DATA written = {};
    if (m_privileged && ::GetFileAttributesExW(m_localIni.c_str(), GetFileExInfoStandard, &written))
        m_indexCache.Keep(m_localIni, written, index);
    return ERROR_SUCCESS;
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
    m_baseFolder.clear();
    m_privileged = false;
    m_lastIndex = kNoIndex;
    m_lastFile = {};
    m_lastFileKnown = false;
    m_indexCache.Close();
    m_maxSize = kDefaultMaxSize;
    m_maxEntries = kDefaultMaxEntries;
    m_severity = kDefaultSeverity;
    m_options = kDefaultOptions;
    m_enabled = true;
    m_directoryCheck = DirectoryCheck::CheckAndCreate;
    m_refCount = 0;
    m_initialised = false;
}

PrivilegeHook SetPrivilegeHook(PrivilegeHook hook)
{
    return g_privilegeHook.exchange(hook);
}

BeforeCreateHook SetBeforeCreateHook(BeforeCreateHook hook)
{
    return g_beforeCreate.exchange(hook);
}

} // namespace ETWLogging
