// Trust between the product's modules: only callers and servers signed by a
// trusted publisher get objects, and only when the module that runs is the
// file that verified.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSigning.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/LoadedImage.h"
#include "zelcom/TrustVerification.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

constexpr wchar_t kServerKey[] = L"CLSID\\{5E3B42BC-7470-413C-8857-98EC8AA2F2F8}\\InprocServer32";
constexpr wchar_t kUnsignedChecker[] = L"VkComponentChecker.unsigned.dll";
constexpr wchar_t kMarker[] = L"planted.marker";

// Runs a probe program and returns what it printed.
std::string RunProbe(const wchar_t* name, const wchar_t* arguments = L"")
{
    std::string output = ZelTest::RunChild(name, arguments).output;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return output;
}

HRESULT CreateChecker(void** out)
{
    return VkCreateInstanceVerified(CLSID_ComponentVersionProvider, nullptr, CLSCTX_ALL, IID_IVkVersion, out, TRUE);
}

// The module whose code answers an object's first method.
HMODULE ModuleOf(IUnknown* object)
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>((*reinterpret_cast<void* const* const*>(object))[0]), &module);
    return module;
}

class TrustTest : public ::testing::Test
{
protected:
    ZelTest::ScopedTrustedPublishers m_trusted;
};

TEST_F(TrustTest, OnlyATrustedCallerGetsAnObject)
{
    const struct
    {
        const wchar_t* probe;
        const wchar_t* arguments;
        const char* expected;
    } cases[] = {
        {L"trust_probe.exe", L"", "0x00000000 0x00000000"},
        {L"trust_probe_unsigned.exe", L"", "0x80070005 0x00000000"},
        {L"trust_probe_untrusted.exe", L"", "0x80070005 0x00000000"},
        {L"trust_probe_tampered.exe", L"", "0x80070005 0x00000000"},
        // The unsigned program renames its running file and puts the signed
        // probe at its name: the file at the module's path verifies, the image
        // in memory is not that file.
        {L"trust_probe_unsigned.exe", L"--swap", "0x80070005 0x00000000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RunProbe(c.probe, c.arguments), c.expected)
            << std::string(c.probe, c.probe + std::wcslen(c.probe)) << " "
            << std::string(c.arguments, c.arguments + std::wcslen(c.arguments));
    }
    EXPECT_EQ(::GetFileAttributesW(ZelTest::BinPath(L"trust_probe_unsigned.exe.moved").c_str()),
              INVALID_FILE_ATTRIBUTES);
}

// A signed file changed afterwards is refused as changed, before its signer
// is looked at; an unsigned one as not signed.
TEST(TrustReasonTest, EachFileIsRefusedForItsOwnReason)
{
    const std::vector<std::wstring> trusted{kTrustedThumbprint};
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"trust_probe.exe", L""},
        {L"trust_probe_tampered.exe", L"the file was changed after it was signed"},
        {L"trust_probe_unsigned.exe", L"the file is not signed"},
    };
    for (const auto& [probe, reason] : cases) {
        Plinth::UniqueHandle file;
        std::wstring refusal = L"none given";
        EXPECT_EQ(OpenVerifiedFile(ZelTest::BinPath(probe).c_str(), trusted, file, refusal),
                  reason.empty() ? S_OK : E_ACCESSDENIED);
        EXPECT_EQ(refusal, reason) << std::string(refusal.begin(), refusal.end());
    }
}

// A missing or broken list is swept with the other sealed values.
TEST(TrustWithoutPublishersTest, NothingIsTrustedWhenTheListNamesOthers)
{
    ZelTest::ScopedTrustedPublishers others({kUntrustedThumbprint});
    EXPECT_EQ(RunProbe(L"trust_probe.exe"), "0x80070005 0x00000000");
    EXPECT_EQ(RunProbe(L"trust_probe_untrusted.exe"), "0x00000000 0x00000000");
}

// The component checker serves through the host's factory; its registration
// must name, by a fully qualified path, the trusted file COM will load. COM
// finds a bare or relative name through the search order, which puts the
// application's folder, holding the unsigned copy, before the current one,
// holding a trusted copy under the unsigned copy's name.
TEST_F(TrustTest, VerifiedCreationRefusesServersOtherThanATrustedFileWithoutLoadingThem)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::TempFolder current(L"trust-cwd");
    const std::wstring trusted = ZelTest::BinPath(L"VkComponentChecker.dll");
    ASSERT_TRUE(::CreateDirectoryW((current.Path() + L"\\Planted").c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(trusted.c_str(), (current.Path() + L"\\" + kUnsignedChecker).c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(trusted.c_str(), (current.Path() + L"\\Planted\\" + kUnsignedChecker).c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(current.Path().c_str()));
    ZelTest::ScopedRegistryTree classKey(HKEY_CLASSES_ROOT, kServerKey);
    ASSERT_TRUE(classKey.SetString(L"ThreadingModel", L"Both"));

    ASSERT_TRUE(classKey.SetString(nullptr, trusted));
    Plinth::ComPtr<IVkVersion> checker;
    EXPECT_EQ(CreateChecker(checker.put_void()), S_OK);
    EXPECT_TRUE(checker);
    checker.reset();

    const std::wstring refusedServers[] = {ZelTest::BinPath(kUnsignedChecker), kUnsignedChecker,
                                           std::wstring(L"Planted\\") + kUnsignedChecker,
                                           current.Path().substr(0, 2) + L"Planted\\" + kUnsignedChecker};
    for (const std::wstring& server : refusedServers) {
        ASSERT_TRUE(classKey.SetString(nullptr, server));
        void* refused = reinterpret_cast<void*>(1);
        EXPECT_EQ(CreateChecker(&refused), E_ACCESSDENIED) << server;
        EXPECT_EQ(refused, nullptr);
        EXPECT_EQ(::GetModuleHandleW(kUnsignedChecker), nullptr) << server;
    }
    EXPECT_EQ(CreateChecker(nullptr), E_POINTER);
    ::SetCurrentDirectoryW(previous);
}

// A class registered with the trusted checker that COM emulates by the
// checker's class, registered with the unsigned copy.
TEST_F(TrustTest, TreatAsToAnUntrustedClassIsRefused)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    const CLSID emulated = {0x6d1b4c2e, 0x93a5, 0x4f0b, {0x9e, 0x27, 0x3c, 0x8d, 0x51, 0xa0, 0xf4, 0xb6}};
    const std::wstring emulatedKey = L"CLSID\\{6D1B4C2E-93A5-4F0B-9E27-3C8D51A0F4B6}";
    ZelTest::ScopedRegistryTree emulatedServer(HKEY_CLASSES_ROOT, emulatedKey + L"\\InprocServer32");
    ZelTest::ScopedRegistryTree treatAs(HKEY_CLASSES_ROOT, emulatedKey + L"\\TreatAs");
    ZelTest::ScopedRegistryTree emulator(HKEY_CLASSES_ROOT, kServerKey);
    ASSERT_TRUE(emulatedServer.SetString(nullptr, ZelTest::BinPath(L"VkComponentChecker.dll")));
    ASSERT_TRUE(treatAs.SetString(nullptr, L"{5E3B42BC-7470-413C-8857-98EC8AA2F2F8}"));
    ASSERT_TRUE(emulator.SetString(nullptr, ZelTest::BinPath(kUnsignedChecker)));
    void* refused = reinterpret_cast<void*>(1);
    EXPECT_EQ(VkCreateInstanceVerified(emulated, nullptr, CLSCTX_ALL, IID_IVkVersion, &refused, TRUE), E_ACCESSDENIED);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(::GetModuleHandleW(kUnsignedChecker), nullptr);
}

// COM takes a REG_SZ server as written and expands a REG_EXPAND_SZ one, so
// the file verified must be read the same way. bin\%ZELTRUST%\ holds unsigned
// programs under the genuine names; %ZELTRUST% itself expands to bin\ again.
// This platform's COM does not expand a local server's REG_EXPAND_SZ command
// line, so one whose two readings differ is refused too.
TEST_F(TrustTest, ServersAreReadAsStoredAndExpandedOnlyWhenTheirTypeSaysSo)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    const std::wstring literal = ZelTest::BinPath(L"%ZELTRUST%");
    ZelTest::RemoveTree(literal);
    ASSERT_TRUE(::CreateDirectoryW(literal.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(L"PlantedDll.dll").c_str(),
                            (literal + L"\\VkComponentChecker.dll").c_str(), FALSE));
    ASSERT_TRUE(
        ::CopyFileW(ZelTest::BinPath(L"trust_attacker.exe").c_str(), (literal + L"\\zelconfigsvc.exe").c_str(), FALSE));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"ZELTRUST", L"."));
    const CLSID localClass = {0xa5a14d18, 0x72e6, 0x4c64, {0x8f, 0x64, 0xb2, 0x6e, 0x4b, 0xe7, 0x22, 0x3d}};
    const std::wstring localKey = L"CLSID\\{A5A14D18-72E6-4C64-8F64-B26E4BE7223D}";
    ZelTest::ScopedRegistryTree checkerKey(HKEY_CLASSES_ROOT, kServerKey);
    ZelTest::ScopedRegistryTree localClassKey(HKEY_CLASSES_ROOT, localKey);
    ASSERT_TRUE(checkerKey.SetString(L"ThreadingModel", L"Both"));
    ZelTest::ScopedRegistryValue inproc(HKEY_CLASSES_ROOT, kServerKey, L"");
    ZelTest::ScopedRegistryValue local(HKEY_CLASSES_ROOT, localKey + L"\\LocalServer32", L"");
    const struct
    {
        ZelTest::ScopedRegistryValue& value;
        DWORD type;
        std::wstring stored;
        const CLSID& clsid;
        HRESULT expected;
    } cases[] = {
        {inproc, REG_EXPAND_SZ, literal + L"\\VkComponentChecker.dll", CLSID_ComponentVersionProvider, S_OK},
        {inproc, REG_SZ, literal + L"\\VkComponentChecker.dll", CLSID_ComponentVersionProvider, E_ACCESSDENIED},
        {inproc, REG_SZ, L"\"" + ZelTest::BinPath(L"VkComponentChecker.dll") + L"\"", CLSID_ComponentVersionProvider,
         S_OK},
        {local, REG_SZ, L"\"" + literal + L"\\zelconfigsvc.exe\" /x", localClass, E_ACCESSDENIED},
        {local, REG_EXPAND_SZ, L"\"" + literal + L"\\zelconfigsvc.exe\" /x", localClass, E_ACCESSDENIED},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.value.SetString(c.stored, c.type));
        Plinth::ComPtr<IUnknown> object;
        EXPECT_EQ(VkCreateInstanceVerified(c.clsid, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void(), TRUE),
                  c.expected)
            << c.type << " " << std::string(c.stored.begin(), c.stored.end());
        EXPECT_TRUE(!object ||
                    ModuleOf(object.get()) == ::GetModuleHandleW(ZelTest::BinPath(L"VkComponentChecker.dll").c_str()));
        object.reset();
        // A program COM started would have left its marker by the time COM gave up on it.
        EXPECT_EQ(::GetFileAttributesW((literal + L"\\" + kMarker).c_str()), INVALID_FILE_ATTRIBUTES);
        c.value.Delete();
    }
    ::SetEnvironmentVariableW(L"ZELTRUST", nullptr);
    ZelTest::RemoveTree(literal);
}

// Another process flips the checker's registration between the trusted file
// and an attacker's DLL while this one creates: whatever the registration says
// at each moment, the file that is loaded is the file that verified.
TEST_F(TrustTest, ARegistrationFlippedByAnotherProcessNeverLoadsAnUnverifiedDll)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::TempFolder folder(L"flip");
    const std::wstring genuine = ZelTest::BinPath(L"VkComponentChecker.dll");
    const std::wstring planted = folder.Path() + L"\\PlantedDll.dll";
    ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(L"PlantedDll.dll").c_str(), planted.c_str(), FALSE));
    ZelTest::ScopedRegistryTree classKey(HKEY_CLASSES_ROOT, kServerKey);
    ASSERT_TRUE(classKey.SetString(L"ThreadingModel", L"Both"));
    const std::wstring stopName = L"zel-flip-stop-" + std::to_wstring(::GetCurrentProcessId());
    Plinth::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
    ZelTest::ChildProcess flipper;
    ASSERT_TRUE(ZelTest::StartChild(
        L"trust_attacker.exe",
        L"flip " + std::wstring(kServerKey) + L" \"" + genuine + L"\" \"" + planted + L"\" " + stopName, flipper));
    int created = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        Plinth::ComPtr<IVkVersion> checker;
        const HRESULT hr = CreateChecker(checker.put_void());
        ASSERT_TRUE(hr == S_OK || hr == E_ACCESSDENIED) << attempt << ": 0x" << std::hex << hr;
        ASSERT_EQ(checker && ModuleOf(checker.get()) == ::GetModuleHandleW(genuine.c_str()), hr == S_OK) << attempt;
        created += hr == S_OK;
    }
    ::SetEvent(stop.get());
    EXPECT_EQ(::WaitForSingleObject(flipper.process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(::GetFileAttributesW((folder.Path() + L"\\" + kMarker).c_str()), INVALID_FILE_ATTRIBUTES)
        << "the attacker's DLL ran; " << created << " of 200 created";
}

// Objects of an in-process server are called directly, without COM's proxies,
// so only from apartments the class's threading model allows.
TEST_F(TrustTest, AnInprocServerServesOnlyApartmentsItsThreadingModelAllows)
{
    ZelTest::ScopedRegistryTree classKey(HKEY_CLASSES_ROOT, kServerKey);
    ASSERT_TRUE(classKey.SetString(nullptr, ZelTest::BinPath(L"VkComponentChecker.dll")));
    const struct
    {
        const wchar_t* model;
        COINIT apartment;
        HRESULT expected;
    } cases[] = {
        {L"Both", COINIT_APARTMENTTHREADED, S_OK},      {L"Both", COINIT_MULTITHREADED, S_OK},
        {L"Free", COINIT_MULTITHREADED, S_OK},          {L"Free", COINIT_APARTMENTTHREADED, RPC_E_WRONG_THREAD},
        {L"apartment", COINIT_APARTMENTTHREADED, S_OK}, {L"Apartment", COINIT_MULTITHREADED, RPC_E_WRONG_THREAD},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(classKey.SetString(L"ThreadingModel", c.model));
        HRESULT created = E_FAIL;
        HRESULT used = E_FAIL;
        std::thread([&] {
            Plinth::ComInitScope com(c.apartment);
            Plinth::ComPtr<IVkVersion> checker;
            created = CreateChecker(checker.put_void());
            Plinth::UniqueCoTaskMem<wchar_t> text;
            long result = 0;
            used = checker ? checker->GetVersionText(text.put(), &result) : E_POINTER;
        }).join();
        EXPECT_EQ(created, c.expected) << c.model << " " << c.apartment;
        EXPECT_EQ(SUCCEEDED(used), c.expected == S_OK) << c.model << " " << c.apartment;
    }
}

// A DLL loaded twice under two names: the second copy cannot have the
// preferred base, so its comparison needs the relocations applied.
TEST(LoadedImageTest, AModuleMatchesOnlyItsOwnFile)
{
    const std::wstring signedPath = ZelTest::BinPath(L"VkComponentChecker.dll");
    const std::wstring unsignedPath = ZelTest::BinPath(kUnsignedChecker);
    Plinth::UniqueModule first(::LoadLibraryW(signedPath.c_str()));
    Plinth::UniqueModule second(::LoadLibraryW(unsignedPath.c_str()));
    ASSERT_TRUE(first && second);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(first.get());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(reinterpret_cast<const BYTE*>(dos) + dos->e_lfanew);
    EXPECT_NE(reinterpret_cast<ULONGLONG>(second.get()), nt->OptionalHeader.ImageBase) << "not relocated";

    auto matches = [](HMODULE module, const std::wstring& path) {
        Plinth::UniqueHandle file(
            ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        const wchar_t* reason = nullptr;
        return LoadedImageMatchesFile(module, file.get(), reason);
    };
    EXPECT_TRUE(matches(first.get(), signedPath));
    EXPECT_TRUE(matches(second.get(), unsignedPath));
    // The signed file differs from the unsigned one in its headers only.
    EXPECT_FALSE(matches(second.get(), signedPath));

    // One byte of code changed in memory.
    BYTE* code = reinterpret_cast<BYTE*>(second.get()) + 0x1000;
    DWORD protection = 0;
    ASSERT_TRUE(::VirtualProtect(code, 1, PAGE_EXECUTE_READWRITE, &protection));
    *code ^= 0xFF;
    EXPECT_FALSE(matches(second.get(), unsignedPath));
    *code ^= 0xFF;
}

} // namespace
