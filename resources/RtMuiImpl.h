#pragma once
// Routes resource calls to the maker's multilingual loader "VkRtMui.dll", which
// picks the resources of the user's language, or, when that DLL or any of its
// entry points is missing, to the plain Windows function of the same purpose.
// A loader that is not signed by a trusted publisher counts as missing.
#include <windows.h>

#include "plinth/DllWrapperBase.h"
#include "plinth/Owners.h"
#include "resources/RtMuiEntryPoints.h"

class RtMuiImpl : public Plinth::CDllWrapperBase
{
public:
    // The loader installed with the maker's shared files, below the folder the
    // "CommonProgramFiles" variable names.
    RtMuiImpl();
    // The loader at a fully qualified path.
    explicit RtMuiImpl(const wchar_t* path);
    ~RtMuiImpl() = default;

    // 0 when every call goes to the loader; otherwise the Win32 error that put
    // this object into fallback mode: kErrorUnverifiedImage (TrustVerification.h)
    // for a loader whose signature or signer does not verify.
    DWORD Status() const { return m_status; }

    // Each form takes the plain Windows function's arguments; a non-zero
    // language asks for that language instead of the user's.
    LCID MuiGetMappedLocale() const;
    HMODULE MuiLoadLibrary(LPCWSTR path) const;
    HMODULE MuiLoadLibraryEx(LPCWSTR path, HANDLE file, DWORD flags) const;
    int MuiLoadString(HINSTANCE module, UINT id, LPWSTR buffer, int size, LANGID language) const;
    HRSRC MuiFindResource(HMODULE module, LPCWSTR name, LPCWSTR type, LANGID language) const;
    HANDLE MuiLoadImage(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags,
                        LANGID language) const;
    HBITMAP MuiLoadBitmap(HINSTANCE module, LPCWSTR name, LANGID language) const;
    HICON MuiLoadIcon(HINSTANCE module, LPCWSTR name, LANGID language) const;

protected:
    // Opens the file, keeping it from being written, renamed or deleted until
    // the load is done, and verifies its signer through that handle.
    DWORD PreLoadCheck(const wchar_t* path) override;

private:
    // Indexes into m_entries, in the order of RtMui::kEntryPointNames.
    enum Entry
    {
        kGetMappedLocale,
        kLoadLibraryPlain,
        kLoadLibraryEx,
        kLoadLibraryImpl,
        kLoadString,
        kLoadStringEx,
        kFindResource,
        kFindResourceEx,
        kLoadImage,
        kLoadImageEx,
        kLoadBitmap,
        kLoadBitmapEx,
        kLoadIcon,
        kLoadIconEx,
    };

    void Create(const wchar_t* path);
    template <typename Function>
    Function Get(Entry entry) const
    {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(m_entries[entry]));
    }

    FARPROC m_entries[RtMui::kEntryPointCount] = {};
    DWORD m_status = ERROR_SUCCESS;
    // The verified file, held from the check until the loaded module is known to be it.
    Plinth::UniqueHandle m_verifiedFile;
};

// The process's loader, made on first use and released when the module ends.
RtMuiImpl& GetRtMui();
