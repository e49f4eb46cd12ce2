#include "zelcom/LoadedImage.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "plinth/Owners.h"

namespace {

using Plinth::UniqueView;

// No image a host loads comes near this; it bounds every size read from a file.
constexpr ULONGLONG kMaxImageBytes = 1ull << 30;

// Fields of the 64-bit load configuration that the loader sets to its own
// control-flow-guard routines: the check and dispatch pointers, the return-flow
// pointers and the extended-guard pointers, at their published offsets.
constexpr DWORD kLoaderSetConfigPointers[] = {0x70, 0x78, 0xD8, 0xE8, 0x118, 0x120, 0x128, 0x138};

// The file's layout, every part of it inside the file and inside the image.
struct Layout
{
    const BYTE* file = nullptr;
    size_t fileBytes = 0;
    const IMAGE_NT_HEADERS64* nt = nullptr;
    const IMAGE_SECTION_HEADER* sections = nullptr;
    WORD sectionCount = 0;
    DWORD imageBytes = 0;
    DWORD headerBytes = 0;
    size_t imageBaseOffset = 0;
};

bool Inside(ULONGLONG start, ULONGLONG bytes, ULONGLONG limit)
{
    return start <= limit && bytes <= limit - start;
}

DWORD SectionBytes(const IMAGE_SECTION_HEADER& section)
{
    return section.Misc.VirtualSize ? section.Misc.VirtualSize : section.SizeOfRawData;
}

// The bytes the file holds for the section; the rest of it starts as zeros.
DWORD RawBytes(const IMAGE_SECTION_HEADER& section)
{
    const DWORD bytes = SectionBytes(section);
    return section.SizeOfRawData < bytes ? section.SizeOfRawData : bytes;
}

bool ReadLayout(const BYTE* file, size_t fileBytes, Layout& layout)
{
    if (fileBytes < sizeof(IMAGE_DOS_HEADER))
        return false;
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, file, sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !Inside(static_cast<ULONGLONG>(dos.e_lfanew), sizeof(IMAGE_NT_HEADERS64), fileBytes))
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(file + dos.e_lfanew);
    const IMAGE_OPTIONAL_HEADER64& optional = nt->OptionalHeader;
    if (nt->Signature != IMAGE_NT_SIGNATURE || optional.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt->FileHeader.SizeOfOptionalHeader < sizeof(IMAGE_OPTIONAL_HEADER64) ||
        optional.NumberOfRvaAndSizes > IMAGE_NUMBEROF_DIRECTORY_ENTRIES || optional.SizeOfImage > kMaxImageBytes ||
        optional.SizeOfHeaders > optional.SizeOfImage || optional.SizeOfHeaders > fileBytes)
        return false;
    const size_t table = static_cast<size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                         nt->FileHeader.SizeOfOptionalHeader;
    const WORD count = nt->FileHeader.NumberOfSections;
    if (!Inside(table, static_cast<ULONGLONG>(count) * sizeof(IMAGE_SECTION_HEADER), optional.SizeOfHeaders))
        return false;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(file + table);
    for (WORD i = 0; i < count; ++i) {
        const IMAGE_SECTION_HEADER& section = sections[i];
        if (!Inside(section.VirtualAddress, SectionBytes(section), optional.SizeOfImage) ||
            !Inside(section.PointerToRawData, RawBytes(section), fileBytes))
            return false;
    }
    layout.file = file;
    layout.fileBytes = fileBytes;
    layout.nt = nt;
    layout.sections = sections;
    layout.sectionCount = count;
    layout.imageBytes = optional.SizeOfImage;
    layout.headerBytes = optional.SizeOfHeaders;
    layout.imageBaseOffset = static_cast<size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                             offsetof(IMAGE_OPTIONAL_HEADER64, ImageBase);
    return true;
}

IMAGE_DATA_DIRECTORY Directory(const Layout& layout, DWORD index)
{
    const IMAGE_OPTIONAL_HEADER64& optional = layout.nt->OptionalHeader;
    if (index >= optional.NumberOfRvaAndSizes ||
        !Inside(optional.DataDirectory[index].VirtualAddress, optional.DataDirectory[index].Size, layout.imageBytes))
        return IMAGE_DATA_DIRECTORY{};
    return optional.DataDirectory[index];
}

// The image as the loader lays the file out, before it relocates anything.
void MapSections(const Layout& layout, BYTE* image)
{
    std::memcpy(image, layout.file, layout.headerBytes);
    for (WORD i = 0; i < layout.sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& section = layout.sections[i];
        std::memcpy(image + section.VirtualAddress, layout.file + section.PointerToRawData, RawBytes(section));
    }
}

template <typename T>
T ReadAt(const BYTE* image, ULONGLONG offset)
{
    T value;
    std::memcpy(&value, image + offset, sizeof(T));
    return value;
}

template <typename T>
void AddAt(BYTE* image, DWORD offset, ULONGLONG delta)
{
    const T value = static_cast<T>(ReadAt<T>(image, offset) + delta);
    std::memcpy(image + offset, &value, sizeof(T));
}

bool Relocate(const Layout& layout, BYTE* image, ULONGLONG delta)
{
    const IMAGE_DATA_DIRECTORY directory = Directory(layout, IMAGE_DIRECTORY_ENTRY_BASERELOC);
    DWORD offset = 0;
    while (offset + sizeof(IMAGE_BASE_RELOCATION) <= directory.Size) {
        const auto block = ReadAt<IMAGE_BASE_RELOCATION>(image, directory.VirtualAddress + offset);
        if (block.SizeOfBlock < sizeof(block) || block.SizeOfBlock > directory.Size - offset)
            return false;
        const BYTE* entries = image + directory.VirtualAddress + offset + sizeof(block);
        const DWORD count = (block.SizeOfBlock - sizeof(block)) / sizeof(WORD);
        for (DWORD i = 0; i < count; ++i) {
            const auto entry = ReadAt<WORD>(entries, i * sizeof(WORD));
            const ULONGLONG target = static_cast<ULONGLONG>(block.VirtualAddress) + (entry & 0x0FFF);
            switch (entry >> 12) {
            case IMAGE_REL_BASED_ABSOLUTE:
                break;
            case IMAGE_REL_BASED_DIR64:
                if (!Inside(target, sizeof(ULONGLONG), layout.imageBytes))
                    return false;
                AddAt<ULONGLONG>(image, static_cast<DWORD>(target), delta);
                break;
            case IMAGE_REL_BASED_HIGHLOW:
                if (!Inside(target, sizeof(DWORD), layout.imageBytes))
                    return false;
                AddAt<DWORD>(image, static_cast<DWORD>(target), delta);
                break;
            default:
                return false;
            }
        }
        offset += block.SizeOfBlock;
    }
    return true;
}

// True when every page of the range is committed and readable, so that
// comparing it cannot fault whatever the module did to its own pages.
bool Readable(const BYTE* start, size_t bytes)
{
    const BYTE* end = start + bytes;
    for (const BYTE* at = start; at < end;) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(at, &region, sizeof(region)) != sizeof(region) || region.State != MEM_COMMIT ||
            (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) || region.Protect == 0)
            return false;
        at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

// Takes a range the loader writes from the module, so the comparison skips it.
void TakeFromModule(const Layout& layout, BYTE* image, const BYTE* module, ULONGLONG rva, ULONGLONG bytes)
{
    if (bytes == 0 || !Inside(rva, bytes, layout.imageBytes) || !Readable(module + rva, static_cast<size_t>(bytes)))
        return;
    std::memcpy(image + rva, module + rva, static_cast<size_t>(bytes));
}

void TakeLoaderWrittenRanges(const Layout& layout, BYTE* image, const BYTE* module)
{
    const auto loadedBase = ReadAt<ULONGLONG>(module, layout.imageBaseOffset);
    if (loadedBase == reinterpret_cast<ULONGLONG>(module))
        std::memcpy(image + layout.imageBaseOffset, &loadedBase, sizeof(loadedBase));

    const IMAGE_DATA_DIRECTORY imports = Directory(layout, IMAGE_DIRECTORY_ENTRY_IAT);
    TakeFromModule(layout, image, module, imports.VirtualAddress, imports.Size);

    const IMAGE_DATA_DIRECTORY delayed = Directory(layout, IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
    for (DWORD offset = 0; offset + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= delayed.Size;
         offset += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)) {
        const auto descriptor = ReadAt<IMAGE_DELAYLOAD_DESCRIPTOR>(image, delayed.VirtualAddress + offset);
        if (descriptor.DllNameRVA == 0)
            break;
        ULONGLONG entries = 0;
        for (ULONGLONG name = descriptor.ImportNameTableRVA;
             Inside(name, sizeof(ULONGLONG), layout.imageBytes) && ReadAt<ULONGLONG>(image, name) != 0;
             name += sizeof(ULONGLONG))
            ++entries;
        TakeFromModule(layout, image, module, descriptor.ImportAddressTableRVA, entries * sizeof(ULONGLONG));
    }

    const IMAGE_DATA_DIRECTORY config = Directory(layout, IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
    DWORD configBytes = config.Size >= sizeof(DWORD) ? ReadAt<DWORD>(image, config.VirtualAddress) : 0;
    if (configBytes > config.Size)
        configBytes = config.Size;
    for (DWORD field : kLoaderSetConfigPointers) {
        if (field + sizeof(ULONGLONG) > configBytes)
            continue;
        const auto pointer = ReadAt<ULONGLONG>(image, config.VirtualAddress + field);
        if (pointer >= reinterpret_cast<ULONGLONG>(module))
            TakeFromModule(layout, image, module, pointer - reinterpret_cast<ULONGLONG>(module), sizeof(ULONGLONG));
    }
}

bool Same(const BYTE* image, const BYTE* module, DWORD rva, DWORD bytes)
{
    return Readable(module + rva, bytes) && std::memcmp(image + rva, module + rva, bytes) == 0;
}

} // namespace

bool LoadedImageMatchesFile(HMODULE module, HANDLE file, const wchar_t*& reason)
{
    reason = L"the file cannot be read";
    LARGE_INTEGER size = {};
    if (!module || !::GetFileSizeEx(file, &size) || size.QuadPart <= 0 ||
        static_cast<ULONGLONG>(size.QuadPart) > kMaxImageBytes)
        return false;
    Plinth::UniqueHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping)
        return false;
    UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view)
        return false;
    Layout layout;
    if (!ReadLayout(static_cast<const BYTE*>(view.get()), static_cast<size_t>(size.QuadPart), layout)) {
        reason = L"the file is not a 64-bit image";
        return false;
    }
    std::unique_ptr<BYTE[]> image(new (std::nothrow) BYTE[layout.imageBytes]());
    if (!image) {
        reason = L"there is not enough memory to compare the module with its file";
        return false;
    }
    MapSections(layout, image.get());
    const auto* loaded = reinterpret_cast<const BYTE*>(module);
    const ULONGLONG delta = reinterpret_cast<ULONGLONG>(module) - layout.nt->OptionalHeader.ImageBase;
    if (delta != 0 && !Relocate(layout, image.get(), delta)) {
        reason = L"the file's relocations cannot be applied";
        return false;
    }
    reason = L"the module in memory is not the file's image";
    if (!Readable(loaded, layout.headerBytes))
        return false;
    TakeLoaderWrittenRanges(layout, image.get(), loaded);
    if (std::memcmp(image.get(), loaded, layout.headerBytes) != 0)
        return false;
    for (WORD i = 0; i < layout.sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& section = layout.sections[i];
        if (!(section.Characteristics & IMAGE_SCN_MEM_WRITE) &&
            !Same(image.get(), loaded, section.VirtualAddress, SectionBytes(section)))
            return false;
    }
    reason = nullptr;
    return true;
}
