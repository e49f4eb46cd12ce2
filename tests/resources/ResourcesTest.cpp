// The install directory, the resource DLL and the multilingual loader; the German
// satellite through the process's loader is the fault tests' (GermanResourcesTest).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "plinth/DllWrapperBase.h"
#include "plinth/Logging/internal_logging.h"
#include "resources/ResourceDll.h"
#include "resources/RtMuiImpl.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/TrustVerification.h"

namespace {

constexpr wchar_t kProductKey[] = L"Software\\Varkon\\ZEL";
constexpr wchar_t kInstallDir[] = L"Install Dir";
constexpr wchar_t kNoIconExLoader[] = L"VkRtMuiNoIconEx.dll";

const std::wstring kLoaderPath = ZelTest::BinPath(L"Varkon\\Platform\\VkRtMui.dll");

// A path that does not exist, so its short form is itself.
std::wstring MissingDirOfLength(size_t length)
{
    std::wstring dir = L"C:\\";
    while (dir.size() < length)
        dir += (dir.size() % 100 == 99) ? L'\\' : L'a';
    return dir;
}

std::wstring Owned(const CCoMemAlloc<wchar_t>& owner)
{
    return owner.Get() ? owner.Get() : L"(null)";
}

class Wrapper : public Plinth::CDllWrapperBase
{
public:
    DWORD refusal = ERROR_SUCCESS;

protected:
    DWORD PreLoadCheck(const wchar_t*) override { return refusal; }
};

TEST(DllWrapperTest, PathsThatAreNotFullyQualifiedAreRefusedWithoutLoading)
{
    const std::wstring full = ZelTest::BinPath(kNoIconExLoader);
    const std::wstring bin = ZelTest::BinDir();
    const std::wstring drive = full.substr(0, 2);
    // Bare, without its drive, drive-relative, up and back down, without its
    // extension, empty, null: each but the last two would find the DLL.
    const std::wstring forms[] = {kNoIconExLoader,
                                  full.substr(2),
                                  drive + kNoIconExLoader,
                                  drive + L"..\\" + bin.substr(bin.rfind(L'\\') + 1) + L"\\" + kNoIconExLoader,
                                  full.substr(0, full.size() - 4),
                                  L""};
    ASSERT_TRUE(::SetCurrentDirectoryW(bin.c_str()));
    for (size_t i = 0; i <= std::size(forms); ++i) {
        const wchar_t* path = i < std::size(forms) ? forms[i].c_str() : nullptr;
        Wrapper wrapper;
        EXPECT_EQ(wrapper.Load(path), static_cast<DWORD>(ERROR_BAD_PATHNAME)) << i;
        EXPECT_EQ(wrapper.Module(), nullptr);
        EXPECT_EQ(::GetModuleHandleW(kNoIconExLoader), nullptr);
    }
}

// The DLL's own reference count, read through its exports.
ULONG HeldReferences(const Plinth::CDllWrapperBase& wrapper)
{
    const auto call = [&](const char* name) {
        return reinterpret_cast<Plinth::DllRefCountFunction>(reinterpret_cast<void*>(wrapper.Proc(name)))(0);
    };
    call("DllAddRef");
    return call("DllRelease");
}

TEST(DllWrapperTest, LoadsOnceTellsTheDllAndReleasesItBeforeFreeing)
{
    ::SetEnvironmentVariableW(L"VKRTMUI_HELD_AT_UNLOAD", nullptr);
    {
        Wrapper refusing;
        refusing.refusal = ERROR_ACCESS_DENIED;
        EXPECT_EQ(refusing.Load(ZelTest::BinPath(kNoIconExLoader).c_str()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(refusing.Module(), nullptr);

        Wrapper wrapper;
        ASSERT_EQ(wrapper.Load(ZelTest::BinPath(kNoIconExLoader).c_str()), 0u);
        HMODULE first = wrapper.Module();
        EXPECT_EQ(first, ::GetModuleHandleW(kNoIconExLoader));
        EXPECT_EQ(HeldReferences(wrapper), 1u);
        EXPECT_EQ(wrapper.Load(kLoaderPath.c_str()), 0u);
        EXPECT_EQ(wrapper.Module(), first);
        EXPECT_EQ(HeldReferences(wrapper), 1u);
    }
    EXPECT_EQ(::GetModuleHandleW(kNoIconExLoader), nullptr);
    wchar_t held[16] = {};
    EXPECT_GT(::GetEnvironmentVariableW(L"VKRTMUI_HELD_AT_UNLOAD", held, ARRAYSIZE(held)), 0u) << "never unloaded";
    EXPECT_STREQ(held, L"0");
}

// A complete loader answers every form in the language asked (it has no German
// here); without it, without LoadIconEx, or unsigned, the plain functions
// answer in any.
TEST(RtMuiImplTest, CompleteLoaderAnswersEveryFormElseEveryFormFallsBack)
{
    ZelTest::ScopedTrustedPublishers publishers;
    ZelTest::TempFolder unsignedCopy(L"rtmui");
    const std::wstring unsignedLoader = unsignedCopy.Path() + L"\\VkRtMui.dll";
    ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(L"VkRtMui.unsigned.dll").c_str(), unsignedLoader.c_str(), FALSE));
    const std::pair<std::wstring, DWORD> cases[] = {{kLoaderPath, ERROR_SUCCESS},
                                                    {L"C:\\nowhere\\VkRtMui.dll", ERROR_PATH_NOT_FOUND},
                                                    {ZelTest::BinPath(kNoIconExLoader), ERROR_PROC_NOT_FOUND},
                                                    {unsignedLoader, kErrorUnverifiedImage}};
    const std::wstring path = ZelTest::BinPath(L"ZelRes2.DLL");
    const LPCWSTR block = MAKEINTRESOURCEW(14011 / 16 + 1);
    for (const auto& [loaderPath, status] : cases) {
        SCOPED_TRACE(status);
        const bool fallback = status != ERROR_SUCCESS;
        {
            RtMuiImpl loader(loaderPath.c_str());
            EXPECT_EQ(loader.Status(), status);
            EXPECT_EQ(::GetModuleHandleW(kNoIconExLoader) != nullptr, status == ERROR_PROC_NOT_FOUND);
            EXPECT_EQ(::GetModuleHandleW(unsignedLoader.c_str()), nullptr);
            EXPECT_EQ(loader.MuiGetMappedLocale(), 0x0409u);
            HMODULE dll = loader.MuiLoadLibrary(path.c_str());
            ASSERT_NE(dll, nullptr);
            EXPECT_EQ(dll, ::GetModuleHandleW(path.c_str()));
            EXPECT_EQ(loader.MuiLoadLibraryEx(path.c_str(), nullptr, 0), dll);
            ::FreeLibrary(dll);

            const wchar_t* text = nullptr;
            ASSERT_EQ(loader.MuiLoadString(dll, 14011, reinterpret_cast<LPWSTR>(&text), 0, 0), 24);
            EXPECT_EQ(std::wstring(text, 24), L"Varkon Parental Controls");
            wchar_t buffer[8] = {};
            EXPECT_EQ(loader.MuiLoadString(dll, 11013, buffer, ARRAYSIZE(buffer), 0x0409), 7);
            EXPECT_STREQ(buffer, L"Last Up");
            EXPECT_EQ(loader.MuiLoadString(dll, 11013, buffer, ARRAYSIZE(buffer), 0x0407), fallback ? 7 : 0);
            EXPECT_EQ(loader.MuiLoadString(dll, 1, buffer, ARRAYSIZE(buffer), 0), 0);
            EXPECT_NE(loader.MuiFindResource(dll, block, RT_STRING, 0), nullptr);
            EXPECT_EQ(loader.MuiFindResource(dll, block, RT_STRING, 0x0407) != nullptr, fallback);
            EXPECT_NE(loader.MuiLoadIcon(nullptr, IDI_APPLICATION, 0), nullptr);
            EXPECT_NE(loader.MuiLoadImage(nullptr, IDI_WARNING, IMAGE_ICON, 0, 0, LR_SHARED, 0), nullptr);
            EXPECT_EQ(loader.MuiLoadBitmap(dll, L"NOSUCHBITMAP", 0), nullptr);
            ::FreeLibrary(dll);
        }
        EXPECT_EQ(::GetModuleHandleW(kNoIconExLoader), nullptr);
    }
}

// "\\Varkon\\Platform\\VkRtMui.dll" is 28 units: with a folder of 231 it fits the
// 259 a path may have, and is tried (and missing); longer ones are not tried.
TEST(RtMuiImplTest, DefaultLoaderLivesBelowCommonProgramFiles)
{
    ZelTest::ScopedTrustedPublishers publishers;
    const DWORD tooLong = ERROR_FILENAME_EXCED_RANGE;
    const std::pair<size_t, DWORD> cases[] = {
        {231, ERROR_PATH_NOT_FOUND}, {232, tooLong}, {259, tooLong}, {260, tooLong}, {261, tooLong}};
    for (const auto& [length, status] : cases) {
        ::SetEnvironmentVariableW(L"CommonProgramFiles", MissingDirOfLength(length).c_str());
        EXPECT_EQ(RtMuiImpl().Status(), status) << length;
    }
    // Set to the empty string, it names no folder either, whatever the last error was.
    ::SetEnvironmentVariableW(L"CommonProgramFiles", L"");
    ::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(RtMuiImpl().Status(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
    // bin/ holds the loader in its installed layout.
    ::SetEnvironmentVariableW(L"CommonProgramFiles", ZelTest::BinDir().c_str());
    EXPECT_EQ(RtMuiImpl().Status(), 0u);
}

// A cut directory would name another folder. The stored values' forms are the
// fault sweep's, through the uninstall command line.
TEST(InstallDirTest, CallerBufferShortFormAndResourceDllPath)
{
    ZelTest::ScopedRegistryValue installDir(HKEY_LOCAL_MACHINE, kProductKey, kInstallDir);
    ASSERT_TRUE(installDir.SetString(L"C:\\Nowhere\\Product"));
    for (size_t size : {size_t{18}, size_t{19}}) {
        std::vector<wchar_t> buffer(size + 1, L'#');
        EXPECT_EQ(GetInstallDir(buffer.data(), size, false), size == 19) << size;
        EXPECT_EQ(std::wstring(buffer.data()), size == 19 ? L"C:\\Nowhere\\Product" : L"") << size;
        EXPECT_EQ(buffer[size], L'#') << "wrote past the buffer";
    }
    EXPECT_FALSE(GetInstallDir(nullptr, MAX_PATH, false));
    wchar_t untouched[1] = {L'#'};
    EXPECT_FALSE(GetInstallDir(untouched, 0, false));
    EXPECT_EQ(untouched[0], L'#');

    // A folder whose long name has no 8.3 form of its own: the short form names
    // the same folder in other, 8.3 words.
    ZelTest::TempFolder folder(L"long install folder");
    ASSERT_TRUE(installDir.SetString(folder.Path()));
    wchar_t path[MAX_PATH] = {};
    ASSERT_TRUE(GetInstallDir(path, MAX_PATH, false));
    EXPECT_EQ(path, folder.Path());
    ASSERT_TRUE(GetInstallDir(path, MAX_PATH, true));
    const std::wstring shortForm = path;
    EXPECT_NE(shortForm, folder.Path());
    const std::wstring last = shortForm.substr(shortForm.rfind(L'\\') + 1);
    EXPECT_TRUE(last.size() <= 12 && last.find(L' ') == std::wstring::npos && last.find(L'~') != std::wstring::npos)
        << last.c_str();
    ASSERT_GT(::GetLongPathNameW(shortForm.c_str(), path, MAX_PATH), 0u);
    EXPECT_EQ(path, folder.Path());

    // The resource DLL's path is made whole or not at all.
    const std::wstring fits = MissingDirOfLength(247);
    ASSERT_TRUE(installDir.SetString(fits));
    wchar_t buffer[MAX_PATH + 1];
    buffer[MAX_PATH] = L'#';
    EXPECT_EQ(GetResourceDllPath(buffer, MAX_PATH), 0u);
    EXPECT_EQ(buffer, fits + L"\\ZelRes2.DLL");
    ASSERT_TRUE(installDir.SetString(MissingDirOfLength(248)));
    EXPECT_EQ(GetResourceDllPath(buffer, MAX_PATH), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(buffer[MAX_PATH], L'#');
    installDir.Delete();
    EXPECT_EQ(GetResourceDllPath(buffer, MAX_PATH), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ(buffer, L"");
}

// Counts the error lines the library logs.
class ErrorCounter : public Plinth::ILoggingHandler
{
public:
    ErrorCounter() { Plinth::CLogger::RegisterHandler(this); }
    ~ErrorCounter() { Plinth::CLogger::UnregisterHandler(this); }
    void HandleLogMessage(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t*) override
    {
        if (level == Plinth::LogLevelError)
            ++errors;
    }
    int errors = 0;
};

// A directory below C:\ whose short form is itself, of exactly length units.
std::wstring ShortNamedDirOfLength(size_t length)
{
    std::wstring dir = L"C:\\zelplant";
    while (dir.size() < length) {
        const size_t rest = length - dir.size();
        dir += rest > 9 ? std::wstring(rest == 10 ? L"\\dddd" : L"\\dddddddd") : L"\\" + std::wstring(rest - 1, L'd');
    }
    return dir;
}

void CreateTree(const std::wstring& dir)
{
    for (size_t slash = dir.find(L'\\', 3); slash != std::wstring::npos; slash = dir.find(L'\\', slash + 1))
        ::CreateDirectoryW((L"\\\\?\\" + dir.substr(0, slash)).c_str(), nullptr);
    ::CreateDirectoryW((L"\\\\?\\" + dir).c_str(), nullptr);
}

HMODULE LoadThroughProcessLoader(const wchar_t* path)
{
    return GetRtMui().MuiLoadLibrary(path);
}

// An install directory that is empty, relative, drive-relative or too long
// would send the load to a file the search order or a cut path finds; a DLL
// planted at each such place never runs, and the product's name is not found.
TEST(ResourceModuleStateTest, PathsThatAreNotWholeAndFullyQualifiedLoadNothing)
{
    ZelTest::ScopedRegistryValue installDir(HKEY_LOCAL_MACHINE, kProductKey, kInstallDir);
    ZelTest::TempFolder current(L"planted");
    ZelTest::RemoveTree(L"C:\\zelplant");
    const std::wstring cut = ShortNamedDirOfLength(248);
    CreateTree(cut);
    ASSERT_TRUE(::CreateDirectoryW((current.Path() + L"\\Rel").c_str(), nullptr));
    ASSERT_EQ(current.Path().substr(0, 3), L"C:\\") << "the planted root must be the current drive's";
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(current.Path().c_str()));

    // Each install directory with the place its load would have found.
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L"C:\\ZelRes2.DLL"},
        {L"Rel", current.Path() + L"\\Rel\\ZelRes2.DLL"},
        {L"C:Rel", current.Path() + L"\\Rel\\ZelRes2.DLL"},
        {cut, cut + L"\\ZelRes2.DL"},
    };
    // The process's loader, the installed one in bin/, loads what the path names.
    ZelTest::ScopedTrustedPublishers publishers;
    ::SetEnvironmentVariableW(L"CommonProgramFiles", ZelTest::BinDir().c_str());
    ASSERT_EQ(GetRtMui().Status(), 0u);
    for (const auto& [dir, planted] : cases) {
        const std::wstring marker = planted.substr(0, planted.rfind(L'\\') + 1) + L"planted.marker";
        ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(L"PlantedDll.dll").c_str(), (L"\\\\?\\" + planted).c_str(), FALSE));
        ASSERT_TRUE(installDir.SetString(dir));
        ErrorCounter log;
        {
            ResourceModuleState state(&LoadThroughProcessLoader);
            CCoMemAlloc<wchar_t> text;
            EXPECT_FALSE(state.LoadText(kIdsProductName, text)) << dir;
            EXPECT_FALSE(state.LoadText(kIdsProductName, text));
        }
        EXPECT_EQ(::GetFileAttributesW((L"\\\\?\\" + marker).c_str()), INVALID_FILE_ATTRIBUTES)
            << "planted DLL ran for \"" << dir << "\"";
        EXPECT_EQ(log.errors, 1) << dir;
        ::DeleteFileW((L"\\\\?\\" + marker).c_str());
        ::DeleteFileW((L"\\\\?\\" + planted).c_str());
    }
    ::SetCurrentDirectoryW(previous);
    ZelTest::RemoveTree(L"C:\\zelplant");
}

std::atomic<int> g_loads{0};
bool g_loadFails = false;

// Slow, so that the first calls overlap.
HMODULE CountedLoad(const wchar_t* path)
{
    ++g_loads;
    ::Sleep(100);
    return g_loadFails ? nullptr : ::LoadLibraryW(path);
}

// One load serves every call, also racing first ones, and a failed one is final:
// the host executable's string of the same id is never taken for the product's.
TEST(ResourceModuleStateTest, OneLoadServesEveryCallAndAFailedOneIsFinal)
{
    ZelTest::ScopedRegistryValue installDir(HKEY_LOCAL_MACHINE, kProductKey, kInstallDir);
    ASSERT_TRUE(installDir.SetString(ZelTest::BinDir()));
    for (bool fails : {true, false}) {
        g_loads = 0;
        g_loadFails = fails;
        ResourceModuleState state(&CountedLoad);
        std::atomic<int> found{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&] {
                CCoMemAlloc<wchar_t> text;
                if (state.LoadText(kIdsProductName, text))
                    found += Owned(text) == L"Varkon Parental Controls" && text.Size() == 50 ? 1 : 100;
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(found.load(), fails ? 0 : 8);
        CCoMemAlloc<wchar_t> text;
        EXPECT_EQ(state.LoadText(kIdsLastUpdateLabel, text), !fails);
        EXPECT_FALSE(state.LoadText(1, text));
        EXPECT_EQ(Owned(text), fails ? L"(null)" : L"Last Update");
        EXPECT_EQ(g_loads.load(), 1);
    }
}

} // namespace
