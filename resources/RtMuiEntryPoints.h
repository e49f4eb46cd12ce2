#pragma once
// The exports of the maker's multilingual resource loader "VkRtMui.dll", shared
// by the loader itself and by its callers. Every entry point takes a last
// argument that is reserved and must be 0. A language of 0 means the user's
// preferred UI languages.
#include <windows.h>

#include "plinth/DllWrapperBase.h"

namespace RtMui {

// The language of the resources the last load picked.
using GetMappedLocaleFunction = LCID(WINAPI*)(DWORD reserved);
using LoadLibraryFunction = HMODULE(WINAPI*)(LPCWSTR path, DWORD reserved);
using LoadLibraryExFunction = HMODULE(WINAPI*)(LPCWSTR path, HANDLE file, DWORD flags, DWORD reserved);
using LoadLibraryImplFunction = HMODULE(WINAPI*)(LPCWSTR path, HANDLE file, DWORD flags, LANGID language,
                                                 DWORD reserved);
// With a buffer size of 0 the buffer receives a read-only pointer to the
// string inside the resource, as LoadStringW does.
using LoadStringFunction = int(WINAPI*)(HINSTANCE module, UINT id, LPWSTR buffer, int size, DWORD reserved);
using LoadStringExFunction = int(WINAPI*)(HINSTANCE module, UINT id, LPWSTR buffer, int size, LANGID language,
                                          DWORD reserved);
using FindResourceFunction = HRSRC(WINAPI*)(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD reserved);
using FindResourceExFunction = HRSRC(WINAPI*)(HMODULE module, LPCWSTR name, LPCWSTR type, LANGID language,
                                              DWORD reserved);
using LoadImageFunction = HANDLE(WINAPI*)(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags,
                                          DWORD reserved);
using LoadImageExFunction = HANDLE(WINAPI*)(HINSTANCE module, LPCWSTR name, UINT type, int width, int height,
                                            UINT flags, LANGID language, DWORD reserved);
using LoadBitmapFunction = HBITMAP(WINAPI*)(HINSTANCE module, LPCWSTR name, DWORD reserved);
using LoadBitmapExFunction = HBITMAP(WINAPI*)(HINSTANCE module, LPCWSTR name, LANGID language, DWORD reserved);
using LoadIconFunction = HICON(WINAPI*)(HINSTANCE module, LPCWSTR name, DWORD reserved);
using LoadIconExFunction = HICON(WINAPI*)(HINSTANCE module, LPCWSTR name, LANGID language, DWORD reserved);

// "DllAddRef" and "DllRelease".
using RefCountFunction = Plinth::DllRefCountFunction;

// Export names in the order a caller resolves them.
constexpr const char* kEntryPointNames[] = {
    "RtMUIGetMappedLocale", "RtMUILoadLibrary",  "RtMUILoadLibraryEx",  "RtMUILoadLibraryImpl", "RtMUILoadString",
    "RtMUILoadStringEx",    "RtMUIFindResource", "RtMUIFindResourceEx", "RtMUILoadImage",       "RtMUILoadImageEx",
    "RtMUILoadBitmap",      "RtMUILoadBitmapEx", "RtMUILoadIcon",       "RtMUILoadIconEx",
};
constexpr size_t kEntryPointCount = sizeof(kEntryPointNames) / sizeof(kEntryPointNames[0]);

} // namespace RtMui
