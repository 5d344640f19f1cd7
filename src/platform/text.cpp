// Placeholder until this module is written.
#include "platform/platform.h"
int platform_strnicmp(const char*, const char*, std::size_t) { return 0; }
int platform_stricmp(const char*, const char*) { return 0; }
