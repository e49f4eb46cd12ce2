#pragma once
// The module's version, shared by the version resource and the code.
#define ZEL_VERSION_FIXED 17, 0, 3038, 0
#define ZEL_PRODUCT_VERSION "17.0.3038.0"
#define ZEL_PRODUCT_NAME "Varkon Parental Controls"
#define ZEL_FILE_DESCRIPTION "Varkon Parental Controls 12.0"
