// Finding the programmer and identifying the target.
#pragma once
#include <cstdint>

struct TargetInfo {
    uint16_t device_id;
    int user_id;
    uint16_t user_id_words[4];
    char device_name[21];
    // The silicon revision: the device ID's low bits, or on parts with a full
    // 14-bit device ID the word at 0x8005.
    int revision;
    bool ids_read;  // the user ID words and the device ID came from the chip
};
extern TargetInfo target_info;
// The programmer's status byte from the probe (STATUS_ bits), -1 until one came.
extern int programmer_status;

int prog_probe();      // status byte, or -1 when none arrived; sets echo mode
struct Part;
// Status byte; every failure ends the run. Identification runs at 8.5 V, which
// every part survives and the newer parts need; a part named by the user
// (`named`, e.g. from /PART=) gets its own VPP from the first VPP on, since
// many older parts enter programming mode only from 10 V or more and read as
// zeros below.
int connect_target(const Part* named = nullptr);
void print_version_line();
void print_target_report(int status);
