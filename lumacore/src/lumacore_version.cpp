#include "lumacore_version.h"

#ifndef LUMACORE_VERSION
#define LUMACORE_VERSION ""
#endif

extern "C" const char lc_version_str[] = LUMACORE_VERSION;
