#pragma once
// The module object and the five exports of a small in-process server: a peer
// defines only its object map, and links this library.
#include "zelcom/ComServer.h"

// The peer's classes; each entry's registry script is applied with the
// replacements "Module", "Module_Raw" and "CLSID".
extern ObjectMapEntry g_serverObjectMap[];
extern const size_t g_serverObjectMapEntries;
