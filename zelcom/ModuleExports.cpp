// The exports every COM server module of the product answers the same way,
// from the module object the binary defines. A module's .def file names them;
// the linker takes this file only into binaries that export them.
#include "zelcom/ComServer.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return GetComModule().GetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return GetComModule().CanUnloadNow();
}
