#pragma once
// A growable byte buffer with a write position.
#include <cstdint>

namespace Plinth {

class CByteBuffer
{
public:
    CByteBuffer() = default;
    // Holds a copy of the bytes, with the write position back at the start.
    CByteBuffer(const void* bytes, int32_t count);
    ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    // Writes at the write position and advances it. False for a null pointer, a
    // negative count, or when memory runs out.
    bool Append(const void* bytes, int32_t count);
    void Clear();

    const uint8_t* Data() const { return m_data; }
    int32_t Size() const { return m_size; }
    int32_t Capacity() const { return m_capacity; }
    void SetPosition(int32_t position) { m_position = position; }

private:
    uint8_t* m_data = nullptr;
    int32_t m_size = 0;
    int32_t m_capacity = 0;
    int32_t m_position = 0;
};

} // namespace Plinth
