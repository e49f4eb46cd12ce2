#include "plinth/Md5.h"

#include <cstring>

namespace Plinth {

namespace {

inline uint32_t RotateLeft(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

inline uint32_t LoadLittleEndian(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLittleEndian(uint32_t value, uint8_t* p)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// The four rounds, with the auxiliary functions written in the forms that need
// the fewest operations (equivalent to F, G, H and I of the definition).
inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a = b + RotateLeft(a + (d ^ (b & (c ^ d))) + x + t, s);
}

inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a = b + RotateLeft(a + (c ^ (d & (b ^ c))) + x + t, s);
}

inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a = b + RotateLeft(a + (b ^ c ^ d) + x + t, s);
}

inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s)
{
    a = b + RotateLeft(a + (c ^ (b | ~d)) + x + t, s);
}

} // namespace

CMd5::CMd5()
{
    Reset();
}

void CMd5::Reset()
{
    m_state[0] = 0x67452301u;
    m_state[1] = 0xefcdab89u;
    m_state[2] = 0x98badcfeu;
    m_state[3] = 0x10325476u;
    m_bytes = 0;
}

void CMd5::Update(const void* data, size_t bytes)
{
    const auto* in = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>(m_bytes & 63);
    m_bytes += bytes;

    if (used) {
        const size_t room = 64 - used;
        if (bytes < room) {
            ::memcpy(m_buffer + used, in, bytes);
            return;
        }
        ::memcpy(m_buffer + used, in, room);
        Transform(m_buffer);
        in += room;
        bytes -= room;
    }
    for (; bytes >= 64; in += 64, bytes -= 64)
        Transform(in);
    if (bytes)
        ::memcpy(m_buffer, in, bytes);
}

void CMd5::Final(uint8_t (&digest)[kMd5DigestBytes])
{
    const uint64_t bits = m_bytes * 8;
    size_t used = static_cast<size_t>(m_bytes & 63);
    m_buffer[used++] = 0x80;
    if (used > 56) {
        ::memset(m_buffer + used, 0, 64 - used);
        Transform(m_buffer);
        used = 0;
    }
    ::memset(m_buffer + used, 0, 56 - used);
    StoreLittleEndian(static_cast<uint32_t>(bits), m_buffer + 56);
    StoreLittleEndian(static_cast<uint32_t>(bits >> 32), m_buffer + 60);
    Transform(m_buffer);
    for (int i = 0; i < 4; ++i)
        StoreLittleEndian(m_state[i], digest + 4 * i);
}

void CMd5::Transform(const uint8_t* block)
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadLittleEndian(block + 4 * i);

    uint32_t a = m_state[0];
    uint32_t b = m_state[1];
    uint32_t c = m_state[2];
    uint32_t d = m_state[3];

    StepF(a, b, c, d, x[0], 0xd76aa478u, 7);
    StepF(d, a, b, c, x[1], 0xe8c7b756u, 12);
    StepF(c, d, a, b, x[2], 0x242070dbu, 17);
    StepF(b, c, d, a, x[3], 0xc1bdceeeu, 22);
    StepF(a, b, c, d, x[4], 0xf57c0fafu, 7);
    StepF(d, a, b, c, x[5], 0x4787c62au, 12);
    StepF(c, d, a, b, x[6], 0xa8304613u, 17);
    StepF(b, c, d, a, x[7], 0xfd469501u, 22);
    StepF(a, b, c, d, x[8], 0x698098d8u, 7);
    StepF(d, a, b, c, x[9], 0x8b44f7afu, 12);
    StepF(c, d, a, b, x[10], 0xffff5bb1u, 17);
    StepF(b, c, d, a, x[11], 0x895cd7beu, 22);
    StepF(a, b, c, d, x[12], 0x6b901122u, 7);
    StepF(d, a, b, c, x[13], 0xfd987193u, 12);
    StepF(c, d, a, b, x[14], 0xa679438eu, 17);
    StepF(b, c, d, a, x[15], 0x49b40821u, 22);

    StepG(a, b, c, d, x[1], 0xf61e2562u, 5);
    StepG(d, a, b, c, x[6], 0xc040b340u, 9);
    StepG(c, d, a, b, x[11], 0x265e5a51u, 14);
    StepG(b, c, d, a, x[0], 0xe9b6c7aau, 20);
    StepG(a, b, c, d, x[5], 0xd62f105du, 5);
    StepG(d, a, b, c, x[10], 0x02441453u, 9);
    StepG(c, d, a, b, x[15], 0xd8a1e681u, 14);
    StepG(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
    StepG(a, b, c, d, x[9], 0x21e1cde6u, 5);
    StepG(d, a, b, c, x[14], 0xc33707d6u, 9);
    StepG(c, d, a, b, x[3], 0xf4d50d87u, 14);
    StepG(b, c, d, a, x[8], 0x455a14edu, 20);
    StepG(a, b, c, d, x[13], 0xa9e3e905u, 5);
    StepG(d, a, b, c, x[2], 0xfcefa3f8u, 9);
    StepG(c, d, a, b, x[7], 0x676f02d9u, 14);
    StepG(b, c, d, a, x[12], 0x8d2a4c8au, 20);

    StepH(a, b, c, d, x[5], 0xfffa3942u, 4);
    StepH(d, a, b, c, x[8], 0x8771f681u, 11);
    StepH(c, d, a, b, x[11], 0x6d9d6122u, 16);
    StepH(b, c, d, a, x[14], 0xfde5380cu, 23);
    StepH(a, b, c, d, x[1], 0xa4beea44u, 4);
    StepH(d, a, b, c, x[4], 0x4bdecfa9u, 11);
    StepH(c, d, a, b, x[7], 0xf6bb4b60u, 16);
    StepH(b, c, d, a, x[10], 0xbebfbc70u, 23);
    StepH(a, b, c, d, x[13], 0x289b7ec6u, 4);
    StepH(d, a, b, c, x[0], 0xeaa127fau, 11);
    StepH(c, d, a, b, x[3], 0xd4ef3085u, 16);
    StepH(b, c, d, a, x[6], 0x04881d05u, 23);
    StepH(a, b, c, d, x[9], 0xd9d4d039u, 4);
    StepH(d, a, b, c, x[12], 0xe6db99e5u, 11);
    StepH(c, d, a, b, x[15], 0x1fa27cf8u, 16);
    StepH(b, c, d, a, x[2], 0xc4ac5665u, 23);

    StepI(a, b, c, d, x[0], 0xf4292244u, 6);
    StepI(d, a, b, c, x[7], 0x432aff97u, 10);
    StepI(c, d, a, b, x[14], 0xab9423a7u, 15);
    StepI(b, c, d, a, x[5], 0xfc93a039u, 21);
    StepI(a, b, c, d, x[12], 0x655b59c3u, 6);
    StepI(d, a, b, c, x[3], 0x8f0ccc92u, 10);
    StepI(c, d, a, b, x[10], 0xffeff47du, 15);
    StepI(b, c, d, a, x[1], 0x85845dd1u, 21);
    StepI(a, b, c, d, x[8], 0x6fa87e4fu, 6);
    StepI(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
    StepI(c, d, a, b, x[6], 0xa3014314u, 15);
    StepI(b, c, d, a, x[13], 0x4e0811a1u, 21);
    StepI(a, b, c, d, x[4], 0xf7537e82u, 6);
    StepI(d, a, b, c, x[11], 0xbd3af235u, 10);
    StepI(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
    StepI(b, c, d, a, x[9], 0xeb86d391u, 21);

    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void Md5(const void* data, size_t bytes, uint8_t (&digest)[kMd5DigestBytes])
{
    CMd5 md5;
    md5.Update(data, bytes);
    md5.Final(digest);
}

} // namespace Plinth
