#include "peers/etwsessions/EtwEventDecoder.h"

#include <cstring>

namespace EtwSim {

namespace {

constexpr size_t kEventBytes = 64;
constexpr size_t kElementHeaderBytes = 10;

template <typename T>
T ReadAt(const std::vector<BYTE>& bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

} // namespace

std::wstring PayloadElement::Text() const
{
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
    return text;
}

DWORD PayloadElement::Number() const
{
    return data.size() == sizeof(DWORD) ? ReadAt<DWORD>(data, 0) : 0;
}

const PayloadElement* DecodedEvent::Find(DWORD tag) const
{
    for (const PayloadElement& element : elements)
        if (element.tag == tag)
            return &element;
    return nullptr;
}

bool DecodePayload(const std::vector<BYTE>& payload, std::vector<PayloadElement>& out)
{
    out.clear();
    size_t offset = 0;
    while (offset < payload.size()) {
        if (payload.size() - offset < kElementHeaderBytes)
            return false;
        PayloadElement element;
        element.tag = ReadAt<DWORD>(payload, offset);
        element.type = ReadAt<DWORD>(payload, offset + 4);
        const USHORT length = ReadAt<USHORT>(payload, offset + 8);
        offset += kElementHeaderBytes;
        if (payload.size() - offset < length)
            return false;
        element.data.assign(payload.begin() + offset, payload.begin() + offset + length);
        offset += length;
        out.push_back(std::move(element));
    }
    return true;
}

bool DecodeEvent(const CapturedEvent& event, DecodedEvent& out)
{
    const std::vector<BYTE>& h = event.header;
    if (h.size() != kEventBytes)
        return false;
    out.size = ReadAt<USHORT>(h, 0);
    out.typeAndMarkers = ReadAt<USHORT>(h, 2);
    out.classType = h[4];
    out.classLevel = h[5];
    out.classVersion = ReadAt<USHORT>(h, 6);
    out.threadId = ReadAt<ULONG>(h, 8);
    out.processId = ReadAt<ULONG>(h, 12);
    out.timeStamp = ReadAt<ULONGLONG>(h, 16);
    out.guid = ReadAt<GUID>(h, 24);
    out.clientContext = ReadAt<ULONG>(h, 40);
    out.flags = ReadAt<ULONG>(h, 44);
    out.mofPointer = ReadAt<ULONGLONG>(h, 48);
    out.mofLength = ReadAt<ULONG>(h, 56);
    out.mofType = ReadAt<ULONG>(h, 60);
    return DecodePayload(event.payload, out.elements);
}

} // namespace EtwSim
