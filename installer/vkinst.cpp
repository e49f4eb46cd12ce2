// The product's installer: lays the product out from a folder of built files,
// and takes it away again through the record the installation keeps, with the
// command line the module hands to the host:
//
//   VkInst.exe <source folder> /install [<thumbprint file>]
//   VkInst.exe <install dir>\zelli.inf /uninstall
#include <windows.h>
#include <shellapi.h>

#include <new>

#include "installer/Installer.h"
#include "installer/SelfRemoval.h"
#include "plinth/Owners.h"

namespace {

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

bool IsSwitch(const wchar_t* argument, const wchar_t* name)
{
    return ::CompareStringOrdinal(argument, -1, name, -1, TRUE) == CSTR_EQUAL;
}

int Usage()
{
    VkInst::Complain(L"usage:\n"
                     L"  VkInst.exe <source folder> /install [<thumbprint file>]\n"
                     L"  VkInst.exe <install dir>\\zelli.inf /uninstall");
    return VkInst::kExitUsage;
}

int Run(int argc, wchar_t** argv)
{
    if (argc == 5 && IsSwitch(argv[1], VkInst::kFinishSwitch))
        return VkInst::Finish(argv[2], argv[3], argv[4]);
    if ((argc == 3 || argc == 4) && IsSwitch(argv[2], L"/install")) {
        const Plinth::ComInitScope com(COINIT_APARTMENTTHREADED);
        return VkInst::Install(argv[1], argc == 4 ? argv[3] : L"");
    }
    if (argc == 3 && IsSwitch(argv[2], L"/uninstall")) {
        const Plinth::ComInitScope com(COINIT_APARTMENTTHREADED);
        return VkInst::Uninstall(argv[1]);
    }
    return Usage();
}

} // namespace

int main()
{
    // Run elevated, from wherever a copy of it lies: no DLL is ever taken from
    // its own folder or the current one. Its static imports are all known to
    // the system, which maps those from System32 itself.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    int argc = 0;
    const UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv)
        return Usage();
    try {
        return Run(argc, argv.get());
    } catch (const std::bad_alloc&) {
        VkInst::Complain(L"out of memory");
        return VkInst::kExitIncomplete;
    }
}
