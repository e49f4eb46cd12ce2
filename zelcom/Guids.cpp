// Defines, once for each binary, every identifier the interface headers declare.
#include <initguid.h>

#include "zelcom/Registrar.h"
#include "zelcom/ZelLumoAp.h"
