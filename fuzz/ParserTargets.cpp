// The fuzzer's targets for the product's readers of registry values, INI
// files, templates, version resources and the usage report, and for vklog's
// log reader. Each takes its input apart with InputReader; the first bytes
// choose types and capacities, the rest is the data read.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/Fuzz.h"
#include "plinth/FileVersionInfo.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "plinth/WideFormat.h"
#include "substitute/Substitute.h"
#include "substitute/UsageReport.h"
#include "substitute/ZelVersionInfo.h"
#include "tests/support/TestRegistry.h"
#include "tools/vklog/LogReader.h"

namespace ZelFuzz {

namespace {

constexpr wchar_t kFuzzKey[] = L"Software\\ZelFuzz";
constexpr wchar_t kFuzzPath[] = L"HKCU\\Software\\ZelFuzz";
constexpr wchar_t kValue[] = L"v";
constexpr size_t kMaxCapacity = 4098;
constexpr DWORD kTypes[] = {REG_SZ,   REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY,   REG_DWORD,     REG_QWORD,
                            REG_NONE, REG_SZ,        REG_SZ,       REG_MULTI_SZ, REG_EXPAND_SZ, 0x12345678};

DWORD TypeFrom(InputReader& in)
{
    return kTypes[in.Byte() % std::size(kTypes)];
}

// The keys the registry targets write, removed again when they end.
std::unique_ptr<ZelTest::ScopedRegistryTree> g_userKey;
std::unique_ptr<ZelTest::ScopedRegistryTree> g_machineKey;

bool SetUpKeys()
{
    g_userKey = std::make_unique<ZelTest::ScopedRegistryTree>(HKEY_CURRENT_USER, kFuzzKey);
    g_machineKey = std::make_unique<ZelTest::ScopedRegistryTree>(HKEY_LOCAL_MACHINE, kFuzzKey);
    return true;
}

void TearDownKeys()
{
    g_userKey.reset();
    g_machineKey.reset();
}

// The string forms: a failure leaves no length, the size a length query
// gives is enough, and text comes back terminated within its buffer.
void QueryTexts(Plinth::CRegKey& key, size_t capacityChars, bool multi)
{
    const char* form = multi ? "QueryMultiStringValue" : "QueryStringValue";
    auto query = [&](LPWSTR buffer, ULONG* chars) {
        return multi ? key.QueryMultiStringValue(kValue, buffer, chars) : key.QueryStringValue(kValue, buffer, chars);
    };
    ULONG needed = 77;
    const LONG sized = query(nullptr, &needed);
    if (sized != ERROR_SUCCESS && needed != 0)
        Fail("%s of no buffer failed with %ld and left %lu characters", form, sized, needed);
    if (sized == ERROR_SUCCESS && needed > 0) {
        GuardedBytes exact(needed * sizeof(wchar_t));
        ULONG chars = needed;
        const LONG result = query(exact.Wide(), &chars);
        if (result == ERROR_MORE_DATA || result == ERROR_INSUFFICIENT_BUFFER)
            Fail("%s answered %ld for the %lu characters its length query asked for", form, result, needed);
    }
    GuardedBytes buffer(capacityChars * sizeof(wchar_t));
    ULONG chars = static_cast<ULONG>(capacityChars);
    const LONG result = query(buffer.Wide(), &chars);
    if (result != ERROR_SUCCESS && chars != 0)
        Fail("%s failed with %ld and left %lu characters", form, result, chars);
    if (result == ERROR_SUCCESS && (chars > capacityChars || (chars > 0 && buffer.Wide()[chars - 1] != L'\0')))
        Fail("%s stored %lu characters in %lu, not terminated", form, chars, static_cast<ULONG>(capacityChars));
}

// Every typed query of a key on its value kValue, into buffers of the
// capacity chosen, each ending at a guard page.
void QueryEveryType(Plinth::CRegKey& key, size_t capacity)
{
    DWORD type = REG_NONE;
    ULONG bytes = 0;
    key.QueryValue(kValue, &type, nullptr, nullptr);
    key.QueryValue(kValue, nullptr, nullptr, &bytes);
    // Wine's RegQueryValueExW ends string data in a buffer of one byte with a
    // terminator of two: the raw reads, which pass the caller's buffer on as
    // it is, get two bytes at least.
    const size_t rawCapacity = std::max<size_t>(capacity, 2);
    GuardedBytes raw(rawCapacity);
    bytes = static_cast<ULONG>(rawCapacity);
    if (key.QueryValue(kValue, &type, raw.Data(), &bytes) == ERROR_SUCCESS && bytes > rawCapacity)
        Fail("QueryValue stored %lu bytes in %lu", bytes, static_cast<ULONG>(rawCapacity));
    bytes = static_cast<ULONG>(rawCapacity);
    key.QueryBinaryValue(kValue, raw.Data(), &bytes);
    DWORD dword = 0;
    key.QueryDWORDValue(kValue, dword);
    ULONGLONG qword = 0;
    key.QueryQWORDValue(kValue, qword);
    GUID guid;
    key.QueryGUIDValue(kValue, guid);
    std::wstring text = L"unchanged";
    if (key.QueryStringValue(kValue, text) != ERROR_SUCCESS && text != L"unchanged")
        Fail("QueryStringValue changed its string on failure");
    QueryTexts(key, capacity / sizeof(wchar_t), false);
    QueryTexts(key, capacity / sizeof(wchar_t), true);
}

// The product's ANSI-path reader of the same value, plain or sealed.
void ReadThroughSubstitute(HKEY root, size_t capacity, bool sealed)
{
    GuardedBytes out(capacity);
    DWORD type = REG_NONE;
    DWORD bytes = static_cast<DWORD>(capacity);
    const LONG result = ReadRegistryStringValue(root, kFuzzKey, kValue, &type, out.Data(), &bytes, sealed);
    if (result == ERROR_SUCCESS && bytes > capacity)
        Fail("ReadRegistryStringValue stored %lu bytes in %lu", bytes, static_cast<DWORD>(capacity));
}

// Stores the value as given and reads it through the key, plain or sealed,
// and through the substitution code; false when it cannot be stored.
bool StoreAndQuery(HKEY root, Plinth::CRegKey& key, DWORD type, const void* data, size_t bytes, size_t capacity,
                   bool sealed)
{
    if (!SetRawValue(root, kFuzzKey, kValue, type, data, bytes) ||
        key.Open(root, kFuzzKey, KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    QueryEveryType(key, capacity);
    ReadThroughSubstitute(root, capacity, sealed);
    return true;
}

// [mode][capacity: 2][type when sealing][bytes]: mode bit 0 seals the bytes
// with the type, else they are the stored value as they are.
void RunSealedRegistry(const uint8_t* data, size_t size)
{
    InputReader in(data, size);
    const bool seal = in.Byte() & 1;
    const size_t capacity = in.Number(kMaxCapacity);
    std::vector<uint8_t> stored(in.Rest(), in.Rest() + in.RestSize());
    if (seal) {
        const DWORD type = TypeFrom(in);
        stored.assign(Plinth::kSealedRegistryHeaderBytes + in.RestSize(), 0);
        Plinth::SealRegistryValue(type, in.Rest(), static_cast<ULONG>(in.RestSize()), stored.data(),
                                  static_cast<ULONG>(stored.size()));
    }
    {
        GuardedBytes sealed(stored.size(), stored.data());
        GuardedBytes out(capacity);
        DWORD type = REG_NONE;
        ULONG length = 0;
        if (Plinth::OpenSealedRegistryValue(sealed.Data(), static_cast<ULONG>(sealed.Size()), &type, &length,
                                            out.Data(), static_cast<ULONG>(capacity)) == ERROR_SUCCESS &&
            length > capacity)
            Fail("a sealed value of %lu bytes was opened into %lu", length, static_cast<ULONG>(capacity));
    }
    Plinth::CObfuscatedRegKey key;
    StoreAndQuery(HKEY_CURRENT_USER, key, REG_BINARY, stored.data(), stored.size(), capacity, true);
}

// [type][capacity: 2][bytes]: a plain value of any type and length, read by
// the key wrapper and by the version record's text-field reader, which must
// agree on every string value both can hold.
void RunRegistryKey(const uint8_t* data, size_t size)
{
    InputReader in(data, size);
    const DWORD type = TypeFrom(in);
    const size_t capacity = in.Number(kMaxCapacity);
    Plinth::CRegKey key;
    if (!StoreAndQuery(HKEY_LOCAL_MACHINE, key, type, in.Rest(), in.RestSize(), capacity, false))
        return;

    GuardedBytes fieldBytes(MAX_PATH * sizeof(wchar_t));
    auto& field = *reinterpret_cast<wchar_t(*)[MAX_PATH]>(fieldBytes.Data());
    ReadTextField(kFuzzKey, kValue, field);
    std::wstring text;
    // Environment strings would be expanded by one reader and not the other.
    const bool comparable = (type == REG_SZ || type == REG_EXPAND_SZ) && in.RestSize() <= sizeof(field) &&
                            key.QueryStringValue(kValue, text) == ERROR_SUCCESS && text.size() < MAX_PATH &&
                            text.find(L'%') == std::wstring::npos;
    if (comparable && text != field)
        Fail("the text-field reader gives %u characters where the key gives %u",
             static_cast<unsigned>(::wcsnlen(field, MAX_PATH)), static_cast<unsigned>(text.size()));
}

std::wstring Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::wstring();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::wstring(text.begin() + static_cast<std::ptrdiff_t>(first),
                        text.begin() + static_cast<std::ptrdiff_t>(last + 1));
}

// A name made of letters and digits only, so that it stays one INI name.
std::wstring NameFrom(InputReader& in)
{
    static const wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::wstring name(1 + in.Byte() % 16, L'n');
    for (wchar_t& c : name)
        c = kLetters[in.Byte() % (std::size(kLetters) - 1)];
    return name;
}

std::wstring ThroughAnsi(const std::wstring& text)
{
    if (text.empty())
        return text;
    const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string ansi(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(), bytes, nullptr,
                          nullptr);
    const int chars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.data(), bytes, nullptr, 0);
    std::wstring back(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.data(), bytes, back.data(), chars);
    return back;
}

// What the file says, looked up in both modes: a verified entry reads the
// same in either.
void LookUpEverything(const std::wstring& path, const uint8_t* data, size_t size)
{
    Plinth::CObfuscatedIniReader all(false);
    Plinth::CObfuscatedIniReader verified(true);
    all.Load(path);
    verified.Load(path);
    std::vector<std::wstring> sections{L""};
    std::vector<std::wstring> keys;
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < text.size() && keys.size() < 16;) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t open = line.find('['), close = line.find(']'), equals = line.find('=');
        if (open != std::string::npos && close != std::string::npos && open < close)
            sections.push_back(Trimmed(line.substr(open + 1, close - open - 1)));
        else if (equals != std::string::npos)
            keys.push_back(Trimmed(line.substr(0, equals)));
    }
    for (const std::wstring& section : sections) {
        Plinth::IniSectionMap entries;
        all.GetSection(section, entries);
        for (const std::wstring& name : keys) {
            std::wstring plain;
            std::wstring sure;
            int32_t number = 0;
            all.GetInt(section, name, number);
            all.GetStringByName(section + L"." + name, plain);
            if (verified.GetString(section, name, sure) && (!all.GetString(section, name, plain) || plain != sure))
                Fail("a verified entry reads differently without verified-only mode");
        }
    }
}

// [name bytes][value units]: the file as it is, then a sealed string and
// integer written into a new file and read back in verified-only mode.
void RunIni(const uint8_t* data, size_t size)
{
    const std::wstring path = WorkFolder() + L"\\fuzz.ini";
    if (!WriteFileBytes(path, data, size))
        return;
    LookUpEverything(path, data, size);

    InputReader in(data, size);
    const std::wstring section = NameFrom(in);
    const std::wstring key = NameFrom(in);
    const int32_t number = static_cast<int32_t>(in.Number(65536) << 16 | in.Number(65536));
    std::wstring value(std::min<size_t>(in.RestSize() / 2, 300), L'\0');
    std::memcpy(value.data(), in.Rest(), value.size() * sizeof(wchar_t));
    const std::wstring roundTrip = WorkFolder() + L"\\roundtrip.ini";
    ::DeleteFileW(roundTrip.c_str());
    Plinth::CObfuscatedIniReader writer(true);
    writer.Load(roundTrip);
    if (!writer.WriteString(section, key, value) || !writer.WriteInt(section, key + L"i", number))
        return;
    Plinth::CObfuscatedIniReader reader(true);
    std::wstring read;
    int32_t readNumber = 0;
    if (!reader.Load(roundTrip) || !reader.GetString(section, key, read) || read != ThroughAnsi(value))
        Fail("a sealed string of %u characters does not read back as written", static_cast<unsigned>(value.size()));
    if (!reader.GetInt(section, key + L"i", readNumber) || readNumber != number)
        Fail("the sealed integer %d does not read back as written", number);
}

// The result of an expansion into a buffer of capacity units: terminated
// text that fits (a value given to the replacement step may hold zeros of its
// own), or 234 with more than was offered.
void CheckExpansion(const char* what, LONG result, const GuardedBytes& out, DWORD length, size_t capacity)
{
    if (result == ERROR_SUCCESS && (length == 0 || length > capacity || out.Wide()[length - 1] != L'\0'))
        Fail("%s: %lu units reported for the text in a buffer of %lu", what, length, static_cast<DWORD>(capacity));
    if (result == ERROR_MORE_DATA && length <= capacity)
        Fail("%s: 234 with %lu units for a buffer of %lu", what, length, static_cast<DWORD>(capacity));
}

// [flags][capacity: 2][template] then name and value pairs, all separated by
// U+0001: the pairs are the key's variables (flag 2: its query parameters
// too), and go straight to the replacement step as well.
void RunSubstitute(const uint8_t* data, size_t size)
{
    InputReader in(data, size);
    const uint8_t flags = in.Byte();
    const size_t capacity = in.Number(kMaxCapacity);
    const std::wstring input = in.Text();
    std::vector<TokenPair> pairs;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kFuzzKey);
    const std::wstring params = std::wstring(kFuzzKey) + L"\\QueryParams";
    while (in.RestSize() > 0 && pairs.size() < 8) {
        const std::wstring name = in.Text();
        const std::wstring value = in.Text();
        const size_t bytes = (value.size() + 1) * sizeof(wchar_t);
        SetRawValue(HKEY_CURRENT_USER, kFuzzKey, name.c_str(), REG_SZ, value.c_str(), bytes);
        if (flags & 2)
            SetRawValue(HKEY_CURRENT_USER, params.c_str(), name.c_str(), REG_SZ, value.c_str(), bytes);
        pairs.push_back({L"%" + name + L"%", value});
    }
    const bool append = flags & 1;
    const bool sealed = flags & 4;
    // Without the host's copy: that is a volatile machine key the run would leave behind.
    auto expand = [&](wchar_t* out, DWORD* length) {
        return ExpandWithHostSubstitutes(kFuzzPath, input.c_str(), append, sealed, out, length, false);
    };
    DWORD needed = 0;
    const LONG measured = expand(nullptr, &needed);
    GuardedBytes out(capacity * sizeof(wchar_t));
    DWORD length = static_cast<DWORD>(capacity);
    const LONG result = expand(out.Wide(), &length);
    CheckExpansion("the expansion", result, out, length, capacity);
    if (measured == ERROR_SUCCESS && needed <= capacity && (result != ERROR_SUCCESS || length != needed))
        Fail("the length query gave %lu units, the expansion into %lu answered %ld with %lu", needed,
             static_cast<DWORD>(capacity), result, length);

    length = static_cast<DWORD>(capacity);
    const LONG replaced = ReplaceAllTokens(input.c_str(), pairs.data(), pairs.size(), out.Wide(), &length);
    CheckExpansion("the replacement", replaced, out, length, capacity);
    length = static_cast<DWORD>(capacity);
    const LONG appended = AppendQueryParams(kFuzzPath, input.c_str(), sealed, out.Wide(), &length);
    CheckExpansion("the query parameters", appended, out, length, capacity);
    GuardedBytes subkey(kSubkeyChars * sizeof(wchar_t));
    HKEY root = nullptr;
    ParseRegistryPath(input.c_str(), subkey.Wide(), kSubkeyChars, &root);
}

std::wstring g_versionCarrier;

// A copy of a resource-only module of the build, whose resources each input replaces.
bool SetUpVersion()
{
    wchar_t self[MAX_PATH] = {};
    const DWORD chars = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH)
        return false;
    std::wstring source(self);
    source = source.substr(0, source.rfind(L'\\') + 1) + L"ZelRes2.DLL";
    g_versionCarrier = WorkFolder() + L"\\carrier.dll";
    return ::CopyFileW(source.c_str(), g_versionCarrier.c_str(), FALSE) != FALSE;
}

// The declared length of a value found through the first translation; 0 when
// there is none.
UINT DeclaredChars(const std::vector<BYTE>& resource, const wchar_t* name)
{
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!::VerQueryValueW(resource.data(), L"\\VarFileInfo\\Translation", &table, &tableBytes) || !table ||
        tableBytes < 4 || static_cast<BYTE*>(table) < resource.data() ||
        static_cast<BYTE*>(table) + 4 > resource.data() + resource.size())
        return 0;
    const auto* pair = static_cast<const WORD*>(table);
    wchar_t subBlock[MAX_PATH + 1];
    Plinth::FormatWide(subBlock, MAX_PATH + 1, L"\\StringFileInfo\\%04X%04X\\%s", pair[0], pair[1], name);
    const std::wstring path = subBlock;
    void* value = nullptr;
    UINT chars = 0;
    return ::VerQueryValueW(resource.data(), path.c_str(), &value, &chars) && value ? chars : 0;
}

// The bytes of a version resource: read back no further than each value goes.
void RunVersion(const uint8_t* data, size_t size)
{
    const HANDLE update = ::BeginUpdateResourceW(g_versionCarrier.c_str(), TRUE);
    if (!update)
        return;
    ::UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                      size ? const_cast<uint8_t*>(data) : nullptr, static_cast<DWORD>(size));
    if (!::EndUpdateResourceW(update, FALSE))
        return;
    Plinth::FileVersionInfo info;
    if (!info.Load(g_versionCarrier))
        return;
    DWORD ignored = 0;
    std::vector<BYTE> resource(::GetFileVersionInfoSizeW(g_versionCarrier.c_str(), &ignored));
    if (resource.empty() ||
        !::GetFileVersionInfoW(g_versionCarrier.c_str(), 0, static_cast<DWORD>(resource.size()), resource.data()))
        return;
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"CompanyName", L"FileDescription"}) {
        const std::wstring text = info.GetString(name);
        const UINT declared = DeclaredChars(resource, name);
        if (declared != 0 && text.size() > declared)
            Fail("GetString read %u characters from a value of %u", static_cast<unsigned>(text.size()), declared);
    }
}

constexpr wchar_t kAppInfoKey[] = L"Software\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kProductKey[] = L"Software\\Varkon\\ZEL";
constexpr wchar_t kHostKey[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute";

// The product's and the host's keys, whose values the report reads, empty for
// the target and put back as they were when it ends. (Not all of
// SOFTWARE\Varkon: a volatile key there would come back as a lasting one.)
std::unique_ptr<ZelTest::ScopedRegistryTree> g_productKey;
std::unique_ptr<ZelTest::ScopedRegistryTree> g_hostKey;

bool SetUpUsageReport()
{
    g_productKey = std::make_unique<ZelTest::ScopedRegistryTree>(HKEY_LOCAL_MACHINE, kProductKey);
    g_hostKey = std::make_unique<ZelTest::ScopedRegistryTree>(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\DOV");
    return true;
}

void TearDownUsageReport()
{
    g_hostKey.reset();
    g_productKey.reset();
}

// [flags] then four texts separated by U+0001: the sealed installation text
// (flag 1: the raw stored bytes instead), the last update, the domain and the
// language, each stored with a type from the flags and, with flag 2, an odd
// byte count.
void RunUsageReport(const uint8_t* data, size_t size)
{
    InputReader in(data, size);
    const uint8_t flags = in.Byte();
    const std::wstring installation = in.Text();
    if (flags & 1) {
        SetRawValue(HKEY_LOCAL_MACHINE, kAppInfoKey, L"isdudatali", REG_BINARY, installation.data(),
                    installation.size() * sizeof(wchar_t));
    } else {
        Plinth::CObfuscatedRegKey sealed;
        if (sealed.Create(HKEY_LOCAL_MACHINE, kAppInfoKey) == ERROR_SUCCESS)
            sealed.SetStringValue(L"isdudatali", installation.c_str());
    }
    const std::pair<const wchar_t*, const wchar_t*> values[] = {
        {kProductKey, L"Last Update"}, {kHostKey, L"domain"}, {kHostKey, L"lang"}};
    for (size_t i = 0; i < std::size(values); ++i) {
        const std::wstring text = in.Text();
        const DWORD type = kTypes[(flags >> (2 * i + 2)) % 4];
        SetRawValue(HKEY_LOCAL_MACHINE, values[i].first, values[i].second, type, text.c_str(),
                    text.size() * sizeof(wchar_t) + ((flags & 2) ? 1 : 2));
    }
    LPWSTR report = nullptr;
    const long result = BuildUsageReport(nullptr, &report);
    if ((result == 0) != (report != nullptr))
        Fail("the report answered %ld with%s a string", result, report ? "" : "out");
    ::CoTaskMemFree(report);
}

// [chunk seed] then a log file: read at once, and in polls while the file
// grows to its whole length piece by piece. Both give the same records.
void RunLogReader(const uint8_t* data, size_t size)
{
    InputReader in(data, size);
    size_t seed = in.Byte() | 1;
    const std::wstring root = WorkFolder() + L"\\vklog";
    const std::wstring folder = root + L"\\proc";
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring file = folder + L"\\proc000.log";
    const uint8_t* bytes = in.Rest();
    const size_t total = in.RestSize();
    auto texts = [](const std::vector<VkLog::Record>& records, std::map<size_t, std::wstring>& byOrder) {
        for (const VkLog::Record& record : records)
            byOrder[record.order] += record.text;
    };
    std::map<size_t, std::wstring> once;
    std::map<size_t, std::wstring> polled;
    if (!WriteFileBytes(file, bytes, total))
        return;
    texts(VkLog::LogReader(root).Poll(), once);
    VkLog::LogReader reader(root);
    // At most about 40 looks, each at a point the seed picks.
    for (size_t written = 0; written < total;) {
        seed = seed * 1103515245u + 12345u;
        written = std::min(total, written + std::max<size_t>(1 + (seed >> 8) % 97, total / 40));
        if (!WriteFileBytes(file, bytes, written))
            return;
        texts(reader.Poll(), polled);
    }
    if (once != polled)
        Fail("one read gives %u records, polls give %u, or their texts differ", static_cast<unsigned>(once.size()),
             static_cast<unsigned>(polled.size()));
}

} // namespace

const Target kSealedRegistryTarget = {"sealed", SetUpKeys, TearDownKeys, RunSealedRegistry};
const Target kRegistryKeyTarget = {"regkey", SetUpKeys, TearDownKeys, RunRegistryKey};
const Target kIniTarget = {"ini", nullptr, nullptr, RunIni};
const Target kSubstituteTarget = {"substitute", SetUpKeys, TearDownKeys, RunSubstitute};
const Target kVersionTarget = {"version", SetUpVersion, nullptr, RunVersion};
const Target kUsageReportTarget = {"usage", SetUpUsageReport, TearDownUsageReport, RunUsageReport};
const Target kLogReaderTarget = {"vklog", nullptr, nullptr, RunLogReader};

} // namespace ZelFuzz
