// Placeholder until this module is written.
#include "platform/platform.h"
#ifndef _WIN32
void platform_sleep_ms(int) {}
long platform_clock_ms() { return 0; }
#endif
