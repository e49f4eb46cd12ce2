#include "tests/support/DebugOutputListener.h"

namespace ZelTest {

namespace {

constexpr DWORD kBufferBytes = 4096;

} // namespace

DebugOutputListener::DebugOutputListener()
    : m_bufferReady(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")),
      m_dataReady(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")),
      m_mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferBytes, L"DBWIN_BUFFER"))
{
    if (m_bufferReady && m_dataReady && m_mapping)
        m_view.reset(::MapViewOfFile(m_mapping.get(), FILE_MAP_READ, 0, 0, kBufferBytes));
    if (m_view)
        m_thread = std::thread([this] { Run(); });
}

std::vector<std::string> DebugOutputListener::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void DebugOutputListener::Run()
{
    const auto* view = static_cast<const char*>(m_view.get());
    // A writer waits for "buffer ready", fills the buffer and signals "data ready".
    for (;;) {
        ::SetEvent(m_bufferReady.get());
        if (::WaitForSingleObject(m_dataReady.get(), 100) != WAIT_OBJECT_0) {
            if (m_stop)
                return;
            continue;
        }
        if (*reinterpret_cast<const DWORD*>(view) != ::GetCurrentProcessId())
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(view + sizeof(DWORD), strnlen(view + sizeof(DWORD), kBufferBytes - sizeof(DWORD)));
    }
}

} // namespace ZelTest
