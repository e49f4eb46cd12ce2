#pragma once
// The sealed-value cipher: an RC4 generator with one feedback byte and a
// repetition count R. Every value is sealed with a fresh cipher, so every value
// starts from the same generator position.
#include <cstddef>
#include <cstdint>

namespace Plinth {

class CObfuscationCipher
{
public:
    // key/keyBytes: the key bytes without terminator; null or empty takes
    // kDefaultObfuscationKey. repetitions is R, at least 1.
    CObfuscationCipher(const void* key, size_t keyBytes, unsigned repetitions = 1);

    uint8_t EncodeByte(uint8_t plain);
    uint8_t DecodeByte(uint8_t encoded);
    // in and out may be the same buffer.
    void Encode(const uint8_t* in, uint8_t* out, size_t bytes);
    void Decode(const uint8_t* in, uint8_t* out, size_t bytes);

    // The next byte of the RC4 generator (exposed for the published test vectors).
    uint8_t NextGeneratorByte();

private:
    uint8_t m_s[256];
    uint8_t m_i = 0;
    uint8_t m_j = 0;
    uint8_t m_feedback = 0;
    unsigned m_repetitions;
};

} // namespace Plinth
