#pragma once
// Receives this process's debugger output the way a debugger-output viewer
// does, through the system's shared buffer and its two events.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plinth/Owners.h"

namespace ZelTest {

class DebugOutputListener
{
public:
    DebugOutputListener();
    ~DebugOutputListener() { Stop(); }
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;

    bool Listening() const { return static_cast<bool>(m_view); }
    // Stops listening and returns the lines received, in order.
    std::vector<std::string> Stop();

private:
    void Run();

    Plinth::UniqueHandle m_bufferReady;
    Plinth::UniqueHandle m_dataReady;
    Plinth::UniqueHandle m_mapping;
    Plinth::UniqueResource<void*, &::UnmapViewOfFile> m_view;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::thread m_thread;
};

} // namespace ZelTest
