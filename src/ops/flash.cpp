// Placeholder until this module is written.
#include "ops/flash.h"
void write_program_flash() {}
