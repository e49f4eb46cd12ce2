#pragma once
// Receives this process's debugger output the way a debugger-output viewer
// does, through the system's shared buffer and its two events.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ZelTest {

class DebugOutputListener
{
public:
    DebugOutputListener();
    ~DebugOutputListener();
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;

    bool Listening() const { return m_view != nullptr; }
    // Stops listening and returns the lines received, in order.
    std::vector<std::string> Stop();

private:
    void Run();

    HANDLE m_bufferReady = nullptr;
    HANDLE m_dataReady = nullptr;
    HANDLE m_mapping = nullptr;
    const char* m_view = nullptr;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::thread m_thread;
};

} // namespace ZelTest
