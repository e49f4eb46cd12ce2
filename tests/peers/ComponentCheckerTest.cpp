// The component checker DLL as the product uses it: registered, created through
// the host's factory, and asked about a Components key each test writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "peers/componentchecker/ComponentChecker.h"
#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"
#include "zelcom/Version.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

using ZelTest::ScopedRegistryTree;

constexpr DWORD kHostContext = 0x17;
constexpr wchar_t kDirVariable[] = L"ZEL_CHECKER_TEST_DIR";

std::wstring ClsidKeyPath()
{
    wchar_t clsid[39] = {};
    ::StringFromGUID2(CLSID_ComponentVersionProvider, clsid, 39);
    return std::wstring(L"CLSID\\") + clsid;
}

// A text file without a version resource.
std::wstring AddTextFile(const ZelTest::TempFolder& dir, const wchar_t* name)
{
    const std::wstring path = dir.Path() + L"\\" + name;
    Plinth::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char text[] = "plain text, no version resource\r\n";
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file.get(), text, sizeof(text) - 1, &written, nullptr));
    return path;
}

bool SetValue(const wchar_t* name, DWORD type, const void* data, size_t bytes)
{
    Plinth::UniqueHKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ComponentChecker::kComponentsKeyPath, 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(bytes)) ==
           ERROR_SUCCESS;
}

struct Answer
{
    HRESULT hr = E_FAIL;
    long result = -1;
    bool textNull = false;
    std::wstring text;
};

enum class Method
{
    Status,
    Versions
};

Answer Ask(IVkVersion* checker, Method method)
{
    Answer answer;
    Plinth::UniqueCoTaskMem<wchar_t> text;
    answer.hr = method == Method::Status ? checker->GetComponentStatus(text.put(), &answer.result)
                                         : checker->GetVersionText(text.put(), &answer.result);
    answer.textNull = !text;
    if (text)
        answer.text = text.get();
    return answer;
}

// An S_OK answer with this result; an empty text means none was handed out.
void ExpectAnswer(const Answer& answer, long result, const std::wstring& text)
{
    EXPECT_EQ(answer.hr, S_OK);
    EXPECT_EQ(answer.result, result);
    EXPECT_EQ(answer.textNull, text.empty());
    EXPECT_EQ(answer.text, text);
}

void ExpectNothingToReport(IVkVersion* checker)
{
    for (Method method : {Method::Status, Method::Versions})
        ExpectAnswer(Ask(checker, method), 0, L"");
}

using ServerEntry = HRESULT(STDAPICALLTYPE*)();

class ComponentCheckerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_varkonExisted = ZelTest::KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon");
        if (!ZelTest::KeyExists(HKEY_LOCAL_MACHINE, ComponentChecker::kCheckerKeyPath))
            s_checkerKey = std::make_unique<ScopedRegistryTree>(HKEY_LOCAL_MACHINE, ComponentChecker::kCheckerKeyPath);
        s_dllPath = ZelTest::BinPath(ComponentChecker::kDllName);
        s_module.reset(::LoadLibraryW(s_dllPath.c_str()));
        ASSERT_TRUE(s_module);
        ASSERT_EQ(Entry("DllRegisterServer")(), S_OK);
    }

    static void TearDownTestSuite()
    {
        if (s_module) {
            EXPECT_EQ(Entry("DllUnregisterServer")(), S_OK);
            EXPECT_FALSE(ZelTest::KeyExists(HKEY_CLASSES_ROOT, ClsidKeyPath().c_str()));
            EXPECT_TRUE(ZelTest::KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
            s_module.reset();
        }
        s_checkerKey.reset();
        if (!s_varkonExisted)
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon");
    }

    static ServerEntry Entry(const char* name)
    {
        return reinterpret_cast<ServerEntry>(reinterpret_cast<void*>(::GetProcAddress(s_module.get(), name)));
    }

    void SetUp() override
    {
        ASSERT_TRUE(m_com.Usable());
        ASSERT_EQ(VkCreateInstanceNoAuth(CLSID_ComponentVersionProvider, nullptr, kHostContext, IID_IVkVersion,
                                         m_checker.put_void()),
                  S_OK);
        ASSERT_TRUE(m_checker);
    }

    static inline Plinth::UniqueModule s_module;
    static inline std::wstring s_dllPath;
    static inline std::unique_ptr<ScopedRegistryTree> s_checkerKey;
    static inline bool s_varkonExisted = false;

    Plinth::ComInitScope m_com{COINIT_APARTMENTTHREADED};
    Plinth::ComPtr<IVkVersion> m_checker;
    ScopedRegistryTree m_components{HKEY_LOCAL_MACHINE, ComponentChecker::kComponentsKeyPath};
    ZelTest::TempFolder m_dir{L"checker"};
};

// Its removal is checked when the suite ends.
TEST_F(ComponentCheckerTest, RegistrationNamesTheDllForEveryApartment)
{
    const std::wstring server = ClsidKeyPath() + L"\\InprocServer32";
    EXPECT_EQ(::CompareStringOrdinal(ZelTest::ReadString(HKEY_CLASSES_ROOT, server.c_str(), nullptr).c_str(), -1,
                                     s_dllPath.c_str(), -1, TRUE),
              CSTR_EQUAL);
    EXPECT_EQ(ZelTest::ReadString(HKEY_CLASSES_ROOT, server.c_str(), L"ThreadingModel"), L"Both");
}

TEST_F(ComponentCheckerTest, NullArgumentsAreRefusedAndNothingIsWritten)
{
    ASSERT_TRUE(m_components.SetString(L"Missing", m_dir.Path() + L"\\absent.dll"));
    wchar_t marker[] = L"untouched";
    for (Method method : {Method::Status, Method::Versions}) {
        for (int nulls = 1; nulls <= 3; ++nulls) {
            LPWSTR text = marker;
            long result = 12345;
            LPWSTR* textArg = (nulls & 1) ? nullptr : &text;
            long* resultArg = (nulls & 2) ? nullptr : &result;
            const HRESULT hr = method == Method::Status ? m_checker->GetComponentStatus(textArg, resultArg)
                                                        : m_checker->GetVersionText(textArg, resultArg);
            EXPECT_EQ(hr, E_INVALIDARG) << "method " << static_cast<int>(method) << " nulls " << nulls;
            EXPECT_EQ(text, marker);
            EXPECT_EQ(result, 12345);
        }
    }
}

TEST_F(ComponentCheckerTest, AbsentOrEmptyKeyReportsNothing)
{
    ExpectNothingToReport(m_checker.get());
    Plinth::UniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ComponentChecker::kComponentsKeyPath, 0, nullptr, 0, KEY_READ,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ExpectNothingToReport(m_checker.get());
}

TEST_F(ComponentCheckerTest, ListsMissingAndInstalledComponentsByName)
{
    const std::wstring text = AddTextFile(m_dir, L"notes.txt");
    const std::wstring copy = m_dir.Path() + L"\\checker-copy.dll";
    ASSERT_TRUE(::CopyFileW(s_dllPath.c_str(), copy.c_str(), FALSE));
    const std::wstring gone = m_dir.Path() + L"\\gone.dll";
    const std::wstring folder = m_dir.Path();
    const std::wstring main = ZelTest::BinPath(L"ZelLumoAp.dll");
    ASSERT_TRUE(m_components.SetString(L"gamma", gone));
    ASSERT_TRUE(m_components.SetString(L"beta", text));
    ASSERT_TRUE(m_components.SetString(L"Delta", copy));
    ASSERT_TRUE(m_components.SetString(L"Alpha", folder));
    ASSERT_TRUE(m_components.SetString(L"ZelLumoAp", main));
    ASSERT_TRUE(SetValue(L"Binary", REG_BINARY, text.c_str(), (text.size() + 1) * sizeof(wchar_t)));

    ExpectAnswer(Ask(m_checker.get(), Method::Status), ComponentChecker::kComponentsMissing,
                 L"Alpha: " + folder + L"\ngamma: " + gone + L"\n");
    ExpectAnswer(Ask(m_checker.get(), Method::Versions), 0,
                 L"beta=no version information\nDelta=" VK_CHECKER_VERSION L"\nZelLumoAp=" ZEL_PRODUCT_VERSION L"\n");
}

// Each value alone in the key; the answers tell whether it was read as the
// path it holds, as another path, or skipped.
TEST_F(ComponentCheckerTest, ValuesAreReadSafelyWhateverTheirShape)
{
    const std::wstring present = AddTextFile(m_dir, L"present.txt");
    const std::wstring absent = m_dir.Path() + L"\\absent.txt";
    const std::wstring longPath = m_dir.Path() + L"\\" + std::wstring(40000, L'x');
    ::SetEnvironmentVariableW(kDirVariable, m_dir.Path().c_str());

    // Exactly the characters given, no terminator unless they hold one.
    auto bytesOf = [](const std::wstring& text) {
        return std::vector<BYTE>(reinterpret_cast<const BYTE*>(text.data()),
                                 reinterpret_cast<const BYTE*>(text.data() + text.size()));
    };
    auto terminated = [&](const std::wstring& text) { return bytesOf(text + L'\0'); };
    std::vector<BYTE> oddCount = bytesOf(present);
    oddCount.push_back(0x41);

    struct Case
    {
        const char* label;
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> data;
        std::wstring status;   // empty: nothing missing
        std::wstring versions; // empty: nothing found
    };
    const std::wstring presentLine = L"C=no version information\n";
    const Case cases[] = {
        {"no terminator", L"C", REG_SZ, bytesOf(present), L"", presentLine},
        {"odd byte count", L"C", REG_SZ, oddCount, L"", presentLine},
        {"text after terminator", L"C", REG_SZ, terminated(present + L'\0' + L"trailing"), L"", presentLine},
        {"expandable present", L"C", REG_EXPAND_SZ, terminated(L"%ZEL_CHECKER_TEST_DIR%\\present.txt"), L"",
         presentLine},
        {"expandable absent", L"C", REG_EXPAND_SZ, terminated(L"%ZEL_CHECKER_TEST_DIR%\\absent.txt"),
         L"C: " + absent + L"\n", L""},
        {"empty string", L"C", REG_SZ, {}, L"C: \n", L""},
        {"very long path", L"C", REG_SZ, terminated(longPath), L"C: " + longPath + L"\n", L""},
        {"dword", L"C", REG_DWORD, {1, 0, 0, 0}, L"", L""},
        {"multi string", L"C", REG_MULTI_SZ, terminated(present + L'\0'), L"", L""},
        {"unnamed default", L"", REG_SZ, terminated(absent), L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScopedRegistryTree key(HKEY_LOCAL_MACHINE, ComponentChecker::kComponentsKeyPath);
        ASSERT_TRUE(SetValue(c.name, c.type, c.data.data(), c.data.size()));

        ExpectAnswer(Ask(m_checker.get(), Method::Status), c.status.empty() ? 0 : ComponentChecker::kComponentsMissing,
                     c.status);
        ExpectAnswer(Ask(m_checker.get(), Method::Versions), 0, c.versions);
    }
    ::SetEnvironmentVariableW(kDirVariable, nullptr);
}

TEST_F(ComponentCheckerTest, ModuleStaysLockedWhileAnObjectLives)
{
    const ServerEntry canUnload = Entry("DllCanUnloadNow");
    EXPECT_EQ(canUnload(), S_FALSE);
    m_checker.reset();
    EXPECT_EQ(canUnload(), S_OK);
}

} // namespace
