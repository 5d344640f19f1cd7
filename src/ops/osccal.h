// /OSCCAL: live read-out of the programmer's calibration ticks until a key.
#pragma once

void run_osccal_helper();
