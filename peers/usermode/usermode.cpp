// The user-mode provider's one class; the module and its exports come from
// the in-process server library.
#include "peers/usermode/UserModeProvider.h"
#include "zelcom/InprocServerModule.h"
#include "zelcom/VkSecureClassFactory.h"

ObjectMapEntry g_serverObjectMap[] = {
    {&CLSID_UserModeProvider, 100, &CVkATLSecureClassFactory::CreateClassObject,
     &CComObject<CUserModeProvider>::CreateInstance, nullptr},
};
const size_t g_serverObjectMapEntries = sizeof(g_serverObjectMap) / sizeof(g_serverObjectMap[0]);
