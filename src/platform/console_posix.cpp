// Placeholder until this module is written.
#include "platform/platform.h"
#ifndef _WIN32
void platform_key_begin() {}
int platform_key_pressed() { return 0; }
void platform_key_end() {}
void platform_catch_interrupts(void (*)()) {}
int platform_interrupted() { return 0; }
void platform_clear_interrupt() {}
#endif
