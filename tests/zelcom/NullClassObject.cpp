// A server whose class-object request succeeds without handing out an object.
#include <windows.h>

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv)
{
    if (ppv)
        *ppv = nullptr;
    return S_OK;
}

STDAPI DllCanUnloadNow()
{
    return S_FALSE;
}
