// Placeholder until this module is written.
#include "ops/osccal.h"
void run_osccal_helper() {}
