#include "JsonWriter.h"

#include <new>

namespace VkTools {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Reads the code point at text[i] and moves i past it.
char32_t NextCodePoint(std::wstring_view text, size_t& i)
{
    const wchar_t c = text[i++];
    if (IsHighSurrogate(c) && i < text.size() && IsLowSurrogate(text[i])) {
        const wchar_t low = text[i++];
        return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c))
        return kReplacement;
    return static_cast<char32_t>(c);
}

void PutUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void PutJsonString(std::string& out, std::wstring_view text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const char32_t cp = NextCodePoint(text, i);
        switch (cp) {
        case U'"':
            out += "\\\"";
            break;
        case U'\\':
            out += "\\\\";
            break;
        case U'\b':
            out += "\\b";
            break;
        case U'\f':
            out += "\\f";
            break;
        case U'\n':
            out += "\\n";
            break;
        case U'\r':
            out += "\\r";
            break;
        case U'\t':
            out += "\\t";
            break;
        default:
            if (cp < 0x20) {
                out += "\\u00";
                out += kHex[cp >> 4];
                out += kHex[cp & 0xF];
            } else {
                PutUtf8(out, cp);
            }
        }
    }
    out += '"';
}

std::wstring Widen(std::string_view text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

} // namespace

bool AppendUtf8(std::string& out, std::wstring_view text) noexcept
{
    try {
        for (size_t i = 0; i < text.size();)
            PutUtf8(out, NextCodePoint(text, i));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool AppendJsonString(std::string& out, const wchar_t* text) noexcept
{
    try {
        if (!text)
            out += "null";
        else
            PutJsonString(out, text);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void JsonWriter::BeforeValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_hasMember.empty())
        return;
    if (m_hasMember.back())
        m_text += ',';
    m_hasMember.back() = 1;
}

void JsonWriter::Open(char bracket)
{
    try {
        BeforeValue();
        m_text += bracket;
        m_hasMember += '\0';
    } catch (const std::bad_alloc&) {
        m_failed = true;
    }
}

void JsonWriter::Close(char bracket)
{
    try {
        if (!m_hasMember.empty())
            m_hasMember.pop_back();
        m_text += bracket;
    } catch (const std::bad_alloc&) {
        m_failed = true;
    }
}

void JsonWriter::BeginObject()
{
    Open('{');
}

void JsonWriter::EndObject()
{
    Close('}');
}

void JsonWriter::BeginArray()
{
    Open('[');
}

void JsonWriter::EndArray()
{
    Close(']');
}

void JsonWriter::Key(const char* name)
{
    try {
        BeforeValue();
        PutJsonString(m_text, Widen(name));
        m_text += ':';
        m_afterKey = true;
    } catch (const std::bad_alloc&) {
        m_failed = true;
    }
}

void JsonWriter::String(const wchar_t* text)
{
    try {
        BeforeValue();
        if (text)
            PutJsonString(m_text, text);
        else
            m_text += "null";
    } catch (const std::bad_alloc&) {
        m_failed = true;
    }
}

void JsonWriter::String(std::string_view text)
{
    try {
        BeforeValue();
        PutJsonString(m_text, Widen(text));
    } catch (const std::bad_alloc&) {
        m_failed = true;
    }
}

void JsonWriter::Null()
{
    try {
        BeforeValue();
        m_text += "null";
    } catch (const std::bad_alloc&) {
        m_failed = true;
    }
}

} // namespace VkTools
