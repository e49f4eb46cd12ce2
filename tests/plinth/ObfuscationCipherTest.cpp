#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plinth/ObfuscationCipher.h"
#include "plinth/ObfuscationKeys.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The cipher takes the generator's first byte as its feedback byte, so the
// exposed generator continues from the second one.
TEST(ObfuscationCipherTest, GeneratorMatchesPublishedRc4Vectors)
{
    // Each key with its keystream from the generator's first output byte.
    const std::pair<Bytes, Bytes> cases[] = {
        {{1, 2, 3, 4, 5},
         {0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27, 0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18, 0xa8,
          0x69, 0x82, 0x94, 0x4f, 0x18, 0xfc, 0x82, 0xd5, 0x89, 0xc4, 0x03, 0xa4, 0x7a, 0x0d, 0x09, 0x19}},
        {{1, 2, 3, 4, 5, 6, 7, 8},
         {0x97, 0xab, 0x8a, 0x1b, 0xf0, 0xaf, 0xb9, 0x61, 0x32, 0xf2, 0xf6, 0x72, 0x58, 0xda, 0x15, 0xa8}},
    };
    for (const auto& [key, keystream] : cases) {
        Plinth::CObfuscationCipher cipher(key.data(), key.size());
        for (size_t i = 1; i < keystream.size(); ++i)
            ASSERT_EQ(cipher.NextGeneratorByte(), keystream[i]) << "key length " << key.size() << " byte " << i;
    }
}

// Pins the encoded form, so files and registry values written earlier stay readable.
TEST(ObfuscationCipherTest, EncodesKnownAnswers)
{
    // Key, repetitions, plain text and its encoded bytes.
    const char* ini = Plinth::kIniObfuscationKey;
    const std::tuple<const char*, unsigned, const char*, Bytes> cases[] = {
        {ini, 1, "Hello, world", {0x04, 0x2e, 0xae, 0xbb, 0xea, 0x09, 0x5b, 0xb6, 0xe0, 0x5c, 0x14, 0x95}},
        {ini, 3, "Hello, world", {0x34, 0x9a, 0x8f, 0x4a, 0x43, 0xb9, 0x01, 0xe1, 0x19, 0x6e, 0x18, 0xf8}},
        {nullptr, 1, "abc", {0x71, 0xd3, 0x1c}},
        {"", 1, "abc", {0x71, 0xd3, 0x1c}},
    };
    for (const auto& [key, repetitions, plain, encoded] : cases) {
        Plinth::CObfuscationCipher cipher(key, key ? std::strlen(key) : 0, repetitions);
        Bytes out(encoded.size());
        cipher.Encode(reinterpret_cast<const uint8_t*>(plain), out.data(), out.size());
        EXPECT_EQ(out, encoded) << plain << " R=" << repetitions;
    }
}

TEST(ObfuscationCipherTest, DecodeRestoresEveryByteForSeveralRepetitionCounts)
{
    Bytes plain(512);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    // 40 exceeds the decoder's stack block of rounds.
    for (unsigned repetitions : {1u, 3u, 40u}) {
        Bytes data = plain;
        Plinth::CObfuscationCipher encoder(Plinth::kIniObfuscationKey, Plinth::kObfuscationKeyChars, repetitions);
        encoder.Encode(data.data(), data.data(), data.size());
        Plinth::CObfuscationCipher decoder(Plinth::kIniObfuscationKey, Plinth::kObfuscationKeyChars, repetitions);
        decoder.Decode(data.data(), data.data(), data.size());
        EXPECT_EQ(data, plain) << "R=" << repetitions;
    }
}

} // namespace
