// Finding the programmer and identifying the target.
#pragma once
#include <cstdint>

struct TargetInfo {
    uint16_t device_id;
    int user_id;
    uint16_t user_id_words[4];
    char device_name[21];
};
extern TargetInfo target_info;

int prog_probe();      // status byte, or -1 when none arrived; sets echo mode
int connect_target();  // status byte; every failure ends the run
void print_version_line();
void print_target_report(int status);
