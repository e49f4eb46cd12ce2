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

// The image is built from the file and compared with the module a window at a
// time: a buffer the size of the image costs a page fault for each of its
// pages, which on a busy machine takes longer than building and comparing.
constexpr size_t kWindowBytes = 64 * 1024;
// The most bytes one relocation changes.
constexpr size_t kFixupBytes = sizeof(ULONGLONG);

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
    // The module compared with the file, and how far from the file's
    // preferred base it was loaded.
    const BYTE* module = nullptr;
    ULONGLONG delta = 0;
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

// Copies the part of source, which the image holds from sourceRva on, that
// falls into the window of bytes bytes at start.
void CopyPart(ULONGLONG start, size_t bytes, BYTE* window, ULONGLONG sourceRva, const BYTE* source,
              ULONGLONG sourceBytes)
{
    const ULONGLONG from = start > sourceRva ? start : sourceRva;
    const ULONGLONG to = start + bytes < sourceRva + sourceBytes ? start + bytes : sourceRva + sourceBytes;
    if (from < to)
        std::memcpy(window + (from - start), source + (from - sourceRva), static_cast<size_t>(to - from));
}

// Bytes [start, start + bytes) of the image as the loader lays the file out,
// before it relocates anything: the headers, then each section's bytes from
// the file, zeros where the file holds nothing.
void LayOut(const Layout& layout, ULONGLONG start, size_t bytes, BYTE* window)
{
    std::memset(window, 0, bytes);
    CopyPart(start, bytes, window, 0, layout.file, layout.headerBytes);
    for (WORD i = 0; i < layout.sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& section = layout.sections[i];
        CopyPart(start, bytes, window, section.VirtualAddress, layout.file + section.PointerToRawData,
                 RawBytes(section));
    }
}

template <typename T>
T ReadAt(const BYTE* bytes, ULONGLONG offset)
{
    T value;
    std::memcpy(&value, bytes + offset, sizeof(T));
    return value;
}

template <typename T>
T ReadImage(const Layout& layout, ULONGLONG rva)
{
    T value;
    LayOut(layout, rva, sizeof(T), reinterpret_cast<BYTE*>(&value));
    return value;
}

template <typename T>
void AddAt(BYTE* window, ULONGLONG offset, ULONGLONG delta)
{
    const T value = static_cast<T>(ReadAt<T>(window, offset) + delta);
    std::memcpy(window + offset, &value, sizeof(T));
}

// Where the file holds bytes [rva, rva + bytes) of the image in one piece.
const BYTE* FileAt(const Layout& layout, ULONGLONG rva, ULONGLONG bytes)
{
    const BYTE* found = Inside(rva, bytes, layout.headerBytes) ? layout.file + rva : nullptr;
    for (WORD i = 0; i < layout.sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& section = layout.sections[i];
        if (rva >= section.VirtualAddress && Inside(rva - section.VirtualAddress, bytes, RawBytes(section)))
            found = layout.file + section.PointerToRawData + (rva - section.VirtualAddress);
    }
    return found;
}

// Applies the relocations that lie wholly inside the window; false when any
// relocation of the file is malformed.
bool Relocate(const Layout& layout, ULONGLONG start, size_t bytes, BYTE* window)
{
    const IMAGE_DATA_DIRECTORY directory = Directory(layout, IMAGE_DIRECTORY_ENTRY_BASERELOC);
    const BYTE* blocks = FileAt(layout, directory.VirtualAddress, directory.Size);
    if (!blocks)
        return directory.Size == 0;
    DWORD offset = 0;
    while (offset + sizeof(IMAGE_BASE_RELOCATION) <= directory.Size) {
        const auto block = ReadAt<IMAGE_BASE_RELOCATION>(blocks, offset);
        if (block.SizeOfBlock < sizeof(block) || block.SizeOfBlock > directory.Size - offset)
            return false;
        const BYTE* entries = blocks + offset + sizeof(block);
        const DWORD count = (block.SizeOfBlock - sizeof(block)) / sizeof(WORD);
        for (DWORD i = 0; i < count; ++i) {
            const auto entry = ReadAt<WORD>(entries, i * sizeof(WORD));
            const ULONGLONG target = static_cast<ULONGLONG>(block.VirtualAddress) + (entry & 0x0FFF);
            const DWORD type = entry >> 12;
            if (type == IMAGE_REL_BASED_ABSOLUTE)
                continue;
            const DWORD size = type == IMAGE_REL_BASED_DIR64 ? sizeof(ULONGLONG) : sizeof(DWORD);
            if ((type != IMAGE_REL_BASED_DIR64 && type != IMAGE_REL_BASED_HIGHLOW) ||
                !Inside(target, size, layout.imageBytes))
                return false;
            if (target < start || !Inside(target - start, size, bytes))
                continue;
            if (type == IMAGE_REL_BASED_DIR64)
                AddAt<ULONGLONG>(window, target - start, layout.delta);
            else
                AddAt<DWORD>(window, target - start, layout.delta);
        }
        offset += block.SizeOfBlock;
    }
    return true;
}

// Bytes [start, start + bytes) of the image as the loader makes it from the
// file at the module's address; false when the relocations cannot be applied.
bool Expected(const Layout& layout, ULONGLONG start, size_t bytes, BYTE* window)
{
    LayOut(layout, start, bytes, window);
    return layout.delta == 0 || Relocate(layout, start, bytes, window);
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

struct Range
{
    ULONGLONG rva = 0;
    ULONGLONG bytes = 0;
};

// The ranges the loader writes, which the comparison takes from the module:
// the image base it loaded at, the import address tables and the load
// configuration's control-flow-guard pointers.
class LoaderWrittenRanges
{
public:
    // False when memory ran out or the relocations cannot be applied.
    bool Find(const Layout& layout)
    {
        const IMAGE_DATA_DIRECTORY delayed = Directory(layout, IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
        m_capacity = kFixedRanges + delayed.Size / sizeof(IMAGE_DELAYLOAD_DESCRIPTOR);
        m_ranges.reset(new (std::nothrow) Range[m_capacity]);
        if (!m_ranges)
            return false;
        if (ReadAt<ULONGLONG>(layout.module, layout.imageBaseOffset) == reinterpret_cast<ULONGLONG>(layout.module))
            Add({layout.imageBaseOffset, sizeof(ULONGLONG)});
        const IMAGE_DATA_DIRECTORY imports = Directory(layout, IMAGE_DIRECTORY_ENTRY_IAT);
        Add({imports.VirtualAddress, imports.Size});
        FindDelayedImports(layout, delayed);
        return FindConfigPointers(layout);
    }

    // Copies what the module holds in these ranges into the window.
    void Take(const Layout& layout, ULONGLONG start, size_t bytes, BYTE* window) const
    {
        for (size_t i = 0; i < m_count; ++i) {
            const Range& range = m_ranges[i];
            if (range.bytes != 0 && Inside(range.rva, range.bytes, layout.imageBytes) &&
                Readable(layout.module + range.rva, static_cast<size_t>(range.bytes)))
                CopyPart(start, bytes, window, range.rva, layout.module + range.rva, range.bytes);
        }
    }

private:
    static constexpr size_t kFixedRanges = 2 + sizeof(kLoaderSetConfigPointers) / sizeof(kLoaderSetConfigPointers[0]);

    void Add(Range range)
    {
        if (m_count < m_capacity)
            m_ranges[m_count++] = range;
    }

    bool FindConfigPointers(const Layout& layout)
    {
        const IMAGE_DATA_DIRECTORY config = Directory(layout, IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
        DWORD configBytes = config.Size >= sizeof(DWORD) ? ReadImage<DWORD>(layout, config.VirtualAddress) : 0;
        if (configBytes > config.Size)
            configBytes = config.Size;
        for (DWORD field : kLoaderSetConfigPointers) {
            if (field + sizeof(ULONGLONG) > configBytes)
                continue;
            ULONGLONG pointer = 0;
            if (!Expected(layout, config.VirtualAddress + field, sizeof(pointer), reinterpret_cast<BYTE*>(&pointer)))
                return false;
            const auto base = reinterpret_cast<ULONGLONG>(layout.module);
            if (pointer >= base)
                Add({pointer - base, sizeof(ULONGLONG)});
        }
        return true;
    }

    // One range for each delay-loaded module's address table, as long as its
    // name table.
    void FindDelayedImports(const Layout& layout, const IMAGE_DATA_DIRECTORY& delayed)
    {
        for (size_t i = 0; i < delayed.Size / sizeof(IMAGE_DELAYLOAD_DESCRIPTOR); ++i) {
            const auto descriptor = ReadImage<IMAGE_DELAYLOAD_DESCRIPTOR>(
                layout, delayed.VirtualAddress + i * sizeof(IMAGE_DELAYLOAD_DESCRIPTOR));
            if (descriptor.DllNameRVA == 0)
                break;
            ULONGLONG entries = 0;
            for (ULONGLONG name = descriptor.ImportNameTableRVA;
                 Inside(name, sizeof(ULONGLONG), layout.imageBytes) && ReadImage<ULONGLONG>(layout, name) != 0;
                 name += sizeof(ULONGLONG))
                ++entries;
            Add({descriptor.ImportAddressTableRVA, entries * sizeof(ULONGLONG)});
        }
    }

    std::unique_ptr<Range[]> m_ranges;
    size_t m_capacity = 0;
    size_t m_count = 0;
};

// Compares the module with the image the loader makes from the file, a
// window at a time, each built with a margin on both sides so that every
// relocation that reaches into it is applied whole.
struct Comparison
{
    const Layout& layout;
    const LoaderWrittenRanges& written;
    BYTE* window;

    bool Matches(ULONGLONG rva, ULONGLONG bytes, const wchar_t*& reason) const
    {
        for (ULONGLONG at = rva; at < rva + bytes; at += kWindowBytes) {
            const size_t compared =
                static_cast<size_t>(rva + bytes - at < kWindowBytes ? rva + bytes - at : kWindowBytes);
            const ULONGLONG start = at < kFixupBytes ? 0 : at - kFixupBytes;
            const ULONGLONG end =
                at + compared + kFixupBytes < layout.imageBytes ? at + compared + kFixupBytes : layout.imageBytes;
            if (!Expected(layout, start, static_cast<size_t>(end - start), window)) {
                reason = L"the file's relocations cannot be applied";
                return false;
            }
            written.Take(layout, start, static_cast<size_t>(end - start), window);
            if (!Readable(layout.module + at, compared) ||
                std::memcmp(window + (at - start), layout.module + at, compared) != 0)
                return false;
        }
        return true;
    }
};

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
    layout.module = reinterpret_cast<const BYTE*>(module);
    layout.delta = reinterpret_cast<ULONGLONG>(module) - layout.nt->OptionalHeader.ImageBase;
    reason = L"the module in memory is not the file's image";
    if (!Readable(layout.module, layout.headerBytes))
        return false;
    std::unique_ptr<BYTE[]> window(new (std::nothrow) BYTE[kWindowBytes + 2 * kFixupBytes]);
    LoaderWrittenRanges written;
    if (!window || !written.Find(layout)) {
        reason = window ? L"the file's relocations cannot be applied"
                        : L"there is not enough memory to compare the module with its file";
        return false;
    }
    const Comparison comparison{layout, written, window.get()};
    if (!comparison.Matches(0, layout.headerBytes, reason))
        return false;
    for (WORD i = 0; i < layout.sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& section = layout.sections[i];
        if (!(section.Characteristics & IMAGE_SCN_MEM_WRITE) &&
            !comparison.Matches(section.VirtualAddress, SectionBytes(section), reason))
            return false;
    }
    reason = nullptr;
    return true;
}
