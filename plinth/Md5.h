#pragma once
// MD5 message digest, as published in RFC 1321.
#include <cstddef>
#include <cstdint>

namespace Plinth {

constexpr size_t kMd5DigestBytes = 16;

class CMd5
{
public:
    CMd5();
    void Update(const void* data, size_t bytes);
    // Writes the digest; the object must be reset before it is used again.
    void Final(uint8_t (&digest)[kMd5DigestBytes]);
    void Reset();

private:
    void Transform(const uint8_t* block);

    uint32_t m_state[4];
    uint64_t m_bytes;
    uint8_t m_buffer[64];
};

void Md5(const void* data, size_t bytes, uint8_t (&digest)[kMd5DigestBytes]);

} // namespace Plinth
