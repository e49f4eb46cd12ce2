// The broken provider's one class, under the real module's class identifier;
// the module and its exports come from the in-process server library.
#include "peers/brokenprovider/BrokenProvider.h"
#include "zelcom/InprocServerModule.h"
#include "zelcom/VkSecureClassFactory.h"

// No registry script: the module is only ever loaded by path, since
// registering it would take the real module's class away.
ObjectMapEntry g_serverObjectMap[] = {
    {&CLSID_ZelAppImpl, 0, &CVkATLSecureClassFactory::CreateClassObject, &CComObject<CBrokenAppImpl>::CreateInstance,
     nullptr},
};
const size_t g_serverObjectMapEntries = sizeof(g_serverObjectMap) / sizeof(g_serverObjectMap[0]);
