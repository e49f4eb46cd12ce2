// Defines, once for each binary, every identifier the interface headers declare.
#include <initguid.h>

#include "Registrar.h"
#include "ZelLumoAp.h"
