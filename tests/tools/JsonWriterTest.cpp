#include <gtest/gtest.h>

#include <string>

#include "JsonWriter.h"

namespace {

struct EscapeCase
{
    const char* label;
    const wchar_t* input;
    const char* expected;
};

const EscapeCase kEscapeCases[] = {
    {"null pointer", nullptr, "null"},
    {"empty", L"", "\"\""},
    {"quote", L"say \"hi\"", "\"say \\\"hi\\\"\""},
    {"backslash", L"C:\\Program Files\\", "\"C:\\\\Program Files\\\\\""},
    {"short escapes", L"a\nb\rc\td\be\ff", "\"a\\nb\\rc\\td\\be\\ff\""},
    {"other controls", L"\x01\x1f\x7f", "\"\\u0001\\u001f\x7f\""},
    {"encoded as UTF-8", L"caf\x00e9", "\"caf\xC3\xA9\""},
};

TEST(JsonWriter, EscapesStrings)
{
    for (const EscapeCase& c : kEscapeCases) {
        std::string out;
        ASSERT_TRUE(VkTools::AppendJsonString(out, c.input)) << c.label;
        EXPECT_EQ(out, c.expected) << c.label;
    }
}

struct Utf8Case
{
    const wchar_t* input;
    const char* expected;
};

TEST(JsonWriter, ConvertsUtf16AtEncodingBoundaries)
{
    const Utf8Case cases[] = {
        {L"\x007F", "\x7F"},
        {L"\x0080", "\xC2\x80"},
        {L"\x07FF", "\xDF\xBF"},
        {L"\x0800", "\xE0\xA0\x80"},
        {L"\xFFFF", "\xEF\xBF\xBF"},
        {L"\xD800\xDC00", "\xF0\x90\x80\x80"},
        {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        {L"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {L"\xD800x", "\xEF\xBF\xBDx"},
        {L"a\xD83D", "a\xEF\xBF\xBD"},
    };
    for (const Utf8Case& c : cases) {
        std::string out = "<";
        ASSERT_TRUE(VkTools::AppendUtf8(out, c.input));
        EXPECT_EQ(out, std::string("<") + c.expected) << "code unit " << std::hex << static_cast<unsigned>(c.input[0]);
    }
}

TEST(JsonWriter, PlacesSeparatorsInNestedContainers)
{
    VkTools::JsonWriter json;
    json.BeginObject();
    json.Key("a");
    json.String(L"x");
    json.Key("list");
    json.BeginArray();
    json.BeginObject();
    json.Key("n");
    json.String(static_cast<const wchar_t*>(nullptr));
    json.Key("k\"q");
    json.String(std::string_view("0x00000001"));
    json.EndObject();
    json.BeginObject();
    json.EndObject();
    json.Null();
    json.EndArray();
    json.Key("empty");
    json.BeginArray();
    json.EndArray();
    json.EndObject();
    EXPECT_FALSE(json.Failed());
    EXPECT_EQ(json.Text(), R"({"a":"x","list":[{"n":null,"k\"q":"0x00000001"},{},null],"empty":[]})");
}

} // namespace
