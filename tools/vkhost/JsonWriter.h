#pragma once
// UTF-8 JSON text built from the UTF-16 strings COM hands out. Never throws;
// a writer that ran out of memory reports it through Failed().
#include <cstddef>
#include <string>
#include <string_view>

namespace VkTools {

// Appends text as UTF-8. An unpaired surrogate becomes U+FFFD, so the output
// is always valid UTF-8. False when memory ran out.
bool AppendUtf8(std::string& out, std::wstring_view text) noexcept;

// Appends text as a quoted JSON string; a null pointer becomes null. False
// when memory ran out.
bool AppendJsonString(std::string& out, const wchar_t* text) noexcept;

// Compact JSON with the separators placed automatically. The caller keeps the
// nesting balanced and calls Key before every value inside an object.
class JsonWriter
{
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    void Key(const char* name);
    void String(const wchar_t* text);
    // Text of one byte per character, such as formatted numbers.
    void String(std::string_view text);
    void Null();

    bool Failed() const { return m_failed; }
    const std::string& Text() const { return m_text; }

private:
    void BeforeValue();
    void Open(char bracket);
    void Close(char bracket);

    std::string m_text;
    // One entry per open container: whether it already holds a member.
    std::string m_hasMember;
    bool m_afterKey = false;
    bool m_failed = false;
};

} // namespace VkTools
