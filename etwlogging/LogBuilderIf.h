#pragma once
// The logger factory contract: makes the module's one logger.
#include <windows.h>

namespace Plinth {
class CRegKey;
}

namespace ETWLogging {

class CLoggingIf;

class CLogBuilderIf
{
public:
    // Makes a logger into *out (which must be empty). True on success.
    virtual bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode, CLoggingIf** out,
                              Plinth::CRegKey* key) = 0;

protected:
    ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf
{
public:
    virtual bool CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                                DWORD mode, CLoggingIf** out, Plinth::CRegKey* key) = 0;

protected:
    ~CLogBuilderIf_ex() = default;
};

} // namespace ETWLogging
