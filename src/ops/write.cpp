// Placeholder until this module is written.
#include "ops/write.h"
void write_target() {}
