#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "plinth/Md5.h"

namespace {

std::string Hex(const uint8_t (&digest)[Plinth::kMd5DigestBytes])
{
    std::string text;
    char pair[3];
    for (uint8_t byte : digest) {
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}

std::string DigestOf(const std::string& message)
{
    uint8_t digest[Plinth::kMd5DigestBytes];
    Plinth::Md5(message.data(), message.size(), digest);
    return Hex(digest);
}

TEST(Md5Test, MatchesPublishedSuiteAndPaddingBoundaries)
{
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // Lengths where the padding and the bit count just fit or spill into a second block.
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(57, 'a'), "652b906d60af96844ebd21b674f35e93"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& [message, expected] : cases)
        EXPECT_EQ(DigestOf(message), expected) << "length " << message.size();
}

TEST(Md5Test, PiecewiseUpdatesAndResetGiveTheOneShotDigest)
{
    std::string message;
    for (int i = 0; i < 200; ++i)
        message += static_cast<char>(i * 7 + 3);
    const std::string expected = DigestOf(message);

    Plinth::CMd5 md5;
    for (size_t first = 0; first <= message.size(); ++first) {
        for (size_t second : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}}) {
            const size_t middle = std::min(second, message.size() - first);
            md5.Reset();
            md5.Update(message.data(), first);
            md5.Update(message.data() + first, middle);
            md5.Update(message.data() + first + middle, message.size() - first - middle);
            uint8_t digest[Plinth::kMd5DigestBytes];
            md5.Final(digest);
            ASSERT_EQ(Hex(digest), expected) << "split at " << first << " and " << first + middle;
        }
    }
}

} // namespace
