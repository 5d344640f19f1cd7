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
int connect_target();  // status byte; every failure ends the run
void print_version_line();
void print_target_report(int status);
