#pragma once
// What the fuzzer's targets share with its driver. A target takes one input's
// bytes, drives a parser with them directly and calls Fail for anything the
// parser got wrong that neither a crash nor the heap check would show.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ZelFuzz {

// Bytes that end where a page the process may not touch begins, so a read or a
// write one byte past them faults at once. The memory before them is readable:
// Wine's RegQueryValueExW looks at the byte before a buffer that string data
// of one byte fills.
class GuardedBytes
{
public:
    explicit GuardedBytes(size_t size, const void* data = nullptr);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    // The bytes as UTF-16 units; an odd last byte is not part of them.
    wchar_t* Wide() const { return reinterpret_cast<wchar_t*>(m_data); }

private:
    void* m_base = nullptr;
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

// Records the first fault of the current input; printf-style.
void Fail(const char* format, ...);

struct Target
{
    const char* name;
    // Prepares what every input needs and keeps what it will change; false
    // when the target cannot run here.
    bool (*setUp)();
    // Puts back what setUp kept.
    void (*tearDown)();
    void (*run)(const uint8_t* data, size_t size);
};

// Takes an input apart: bytes and UTF-16 units from the front, numbers that
// are 0 once the input runs out.
class InputReader
{
public:
    InputReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    size_t Number(size_t limit) { return limit ? (Byte() | static_cast<size_t>(Byte()) << 8) % limit : 0; }
    // Units up to the next separator unit (dropped) or the end.
    std::wstring Text(wchar_t separator = L'\x01');
    // The bytes not taken yet.
    const uint8_t* Rest() const { return m_data + m_at; }
    size_t RestSize() const { return m_size - m_at; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// Writes a value exactly as given; false when the registry refuses.
bool SetRawValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, size_t bytes);

// A folder of the fuzzer's own below the temporary folder, made on first use.
const std::wstring& WorkFolder();

bool WriteFileBytes(const std::wstring& path, const void* data, size_t bytes);

extern const Target kSealedRegistryTarget;
extern const Target kRegistryKeyTarget;
extern const Target kIniTarget;
extern const Target kSubstituteTarget;
extern const Target kVersionTarget;
extern const Target kUsageReportTarget;
extern const Target kLogReaderTarget;
extern const Target kInstallRecordTarget;

} // namespace ZelFuzz
