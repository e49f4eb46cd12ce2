// The component checker's one class; the module and its exports come from the
// in-process server library.
#include "peers/componentchecker/ComponentVersionProvider.h"
#include "zelcom/InprocServerModule.h"
#include "zelcom/VkSecureClassFactory.h"

ObjectMapEntry g_serverObjectMap[] = {
    {&CLSID_ComponentVersionProvider, 100, &CVkATLSecureClassFactory::CreateClassObject,
     &CComObject<CComponentVersionProvider>::CreateInstance, nullptr},
};
const size_t g_serverObjectMapEntries = sizeof(g_serverObjectMap) / sizeof(g_serverObjectMap[0]);
