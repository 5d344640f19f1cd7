// Placeholder until this module is written.
#include "protocol/detect.h"
TargetInfo target_info;
int prog_probe() { return -1; }
int connect_target() { return 0; }
void print_version_line() {}
void print_target_report(int) {}
