#include "plinth/ObfuscationCipher.h"

#include "plinth/ObfuscationKeys.h"

namespace Plinth {

CObfuscationCipher::CObfuscationCipher(const void* key, size_t keyBytes, unsigned repetitions)
    : m_repetitions(repetitions ? repetitions : 1)
{
    const auto* keyData = static_cast<const uint8_t*>(key);
    if (!keyData || keyBytes == 0) {
        keyData = reinterpret_cast<const uint8_t*>(kDefaultObfuscationKey);
        keyBytes = kObfuscationKeyChars;
    }

    for (int i = 0; i < 256; ++i)
        m_s[i] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    size_t k = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + m_s[i] + keyData[k]);
        const uint8_t t = m_s[i];
        m_s[i] = m_s[j];
        m_s[j] = t;
        if (++k == keyBytes)
            k = 0;
    }
    m_feedback = NextGeneratorByte();
}

uint8_t CObfuscationCipher::NextGeneratorByte()
{
    m_i = static_cast<uint8_t>(m_i + 1);
    m_j = static_cast<uint8_t>(m_j + m_s[m_i]);
    const uint8_t t = m_s[m_i];
    m_s[m_i] = m_s[m_j];
    m_s[m_j] = t;
    return m_s[static_cast<uint8_t>(m_s[m_i] + m_s[m_j])];
}

uint8_t CObfuscationCipher::EncodeByte(uint8_t plain)
{
    m_feedback ^= plain;
    const uint8_t g1 = NextGeneratorByte();
    const uint8_t g2 = NextGeneratorByte();
    uint8_t c = static_cast<uint8_t>((g1 ^ m_feedback) + g2);
    for (unsigned r = 1; r < m_repetitions; ++r) {
        const uint8_t g3 = NextGeneratorByte();
        const uint8_t g4 = NextGeneratorByte();
        c = static_cast<uint8_t>(g4 + (c ^ g3));
    }
    return c;
}

uint8_t CObfuscationCipher::DecodeByte(uint8_t encoded)
{
    // Decoding undoes the rounds last to first, so all 2R generator bytes are
    // drawn before the first is used. The first kBlock rounds are kept on the
    // stack; higher rounds (never used in the system) are redrawn block by
    // block from copies of the generator, so no count needs an allocation.
    constexpr unsigned kBlock = 16;
    uint8_t low[2 * kBlock];
    const unsigned lowRounds = m_repetitions < kBlock ? m_repetitions : kBlock;
    for (unsigned r = 0; r < lowRounds; ++r) {
        low[2 * r] = NextGeneratorByte();
        low[2 * r + 1] = NextGeneratorByte();
    }

    uint8_t x = encoded;
    for (unsigned top = m_repetitions; top > kBlock;) {
        const unsigned bottom = top - kBlock > kBlock ? top - kBlock : kBlock;
        CObfuscationCipher generator = *this;
        for (unsigned n = 0; n < 2 * (bottom - kBlock); ++n)
            generator.NextGeneratorByte();
        uint8_t high[2 * kBlock];
        for (unsigned r = 0; r < top - bottom; ++r) {
            high[2 * r] = generator.NextGeneratorByte();
            high[2 * r + 1] = generator.NextGeneratorByte();
        }
        for (unsigned r = top - bottom; r-- > 0;)
            x = static_cast<uint8_t>(static_cast<uint8_t>(x - high[2 * r + 1]) ^ high[2 * r]);
        top = bottom;
    }
    for (unsigned n = lowRounds; n < m_repetitions; ++n) {
        NextGeneratorByte();
        NextGeneratorByte();
    }

    for (unsigned r = lowRounds; r-- > 1;)
        x = static_cast<uint8_t>(static_cast<uint8_t>(x - low[2 * r + 1]) ^ low[2 * r]);
    const uint8_t plain = static_cast<uint8_t>(static_cast<uint8_t>(x - low[1]) ^ low[0] ^ m_feedback);
    m_feedback ^= plain;
    return plain;
}

void CObfuscationCipher::Encode(const uint8_t* in, uint8_t* out, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out[i] = EncodeByte(in[i]);
}

void CObfuscationCipher::Decode(const uint8_t* in, uint8_t* out, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out[i] = DecodeByte(in[i]);
}

} // namespace Plinth
