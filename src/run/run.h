// The program's single pass: fixed run order, exit codes, and the exit handler
// that leaves the programmer with VPP off however the process ends.
#pragma once

int run_main(int argc, char** argv);
void on_exit_handler();  // registered with atexit first thing
