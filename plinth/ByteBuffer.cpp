#include "plinth/ByteBuffer.h"

#include <cstring>
#include <limits>
#include <new>

namespace Plinth {

namespace {

// Room added beyond what an append needs.
constexpr int32_t kGrowthSlack = 50;

} // namespace

CByteBuffer::CByteBuffer(const void* bytes, int32_t count)
{
    if (!bytes)
        return;
    Append(bytes, count);
    m_position = 0;
}

CByteBuffer::~CByteBuffer()
{
    Clear();
}

bool CByteBuffer::Append(const void* bytes, int32_t count)
{
    if (!bytes || count < 0)
        return false;
    if (count == 0)
        return true;
    if (m_position < 0)
        m_position = 0;
    if (m_position > m_size)
        m_position = m_size;
    if (m_size > std::numeric_limits<int32_t>::max() - kGrowthSlack - count)
        return false;
    if (m_size + count > m_capacity) {
        const int32_t capacity = m_size + count + kGrowthSlack;
        auto* data = new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]();
        if (!data)
            return false;
        if (m_data)
            std::memcpy(data, m_data, static_cast<size_t>(m_size));
        delete[] m_data;
        m_data = data;
        m_capacity = capacity;
    }
    std::memcpy(m_data + m_position, bytes, static_cast<size_t>(count));
    m_position += count;
    if (m_position > m_size)
        m_size = m_position;
    return true;
}

void CByteBuffer::Clear()
{
    delete[] m_data;
    m_data = nullptr;
    m_size = 0;
    m_capacity = 0;
    m_position = 0;
}

} // namespace Plinth
