#pragma once
// Reads a captured classic event back into its fields, from the raw bytes, so
// the wire format can be checked independently of the code that wrote it.
#include <windows.h>

#include <string>
#include <vector>

#include "peers/etwsessions/TraceSessionSimulator.h"

namespace EtwSim {

struct PayloadElement
{
    DWORD tag = 0;
    DWORD type = 0;
    std::vector<BYTE> data;

    // The data as UTF-16 text, or as a little-endian 32-bit number.
    std::wstring Text() const;
    DWORD Number() const;
};

struct DecodedEvent
{
    USHORT size = 0;
    USHORT typeAndMarkers = 0;
    UCHAR classType = 0;
    UCHAR classLevel = 0;
    USHORT classVersion = 0;
    ULONG threadId = 0;
    ULONG processId = 0;
    ULONGLONG timeStamp = 0;
    GUID guid = {};
    ULONG clientContext = 0;
    ULONG flags = 0;
    ULONGLONG mofPointer = 0;
    ULONG mofLength = 0;
    ULONG mofType = 0;
    std::vector<PayloadElement> elements;

    // The element with the tag, or null.
    const PayloadElement* Find(DWORD tag) const;
};

// False when the header is not 64 bytes or the payload does not split exactly
// into tag-type-length elements.
bool DecodeEvent(const CapturedEvent& event, DecodedEvent& out);
bool DecodePayload(const std::vector<BYTE>& payload, std::vector<PayloadElement>& out);

} // namespace EtwSim
