// The device database <base>.dat: one line per device, looked up by device ID.
// Written with default contents when missing; the same contents are built in
// and used when the file can be neither read nor created.
#pragma once
#include <cstdio>

struct DeviceRecord {
    char name[21];      // the matching line's device name; empty until one matched
    int flash_size;     // words; bit 15 set: the target is not in the database
    int row_size;       // words; 0: no row erase (word programming)
    int eeprom_base;    // 0, or ADDR_EEPROM once an E parameter was non-zero
    int vpp;            // V, 1/10 volt
    int eeprom_size;    // E, bytes
    int prog_time;      // P, microseconds, program flash
    int data_time;      // D, microseconds, EEPROM and configuration
    int row_erase_time; // R, microseconds
    int bulk_erase_time;// B, microseconds
    int save_mask;      // S, configuration word 1 bits kept across an erase
    int osccal_address; // O, 0: none
    int type_code;      // T, 1: PIC12F629 family
    int zero_mask;      // Z, configuration word 1 bits that read back as zero
};
extern DeviceRecord device;

void device_db_set_defaults();
void device_db_load(unsigned device_id);  // fills `device`, its name included
// The scan on its own, for an open stream; returns 1 when a line matched.
// `name` names the file in the report of a malformed line.
int device_db_scan(std::FILE* file, unsigned device_id, const char* name = nullptr);
// The same scan over the default lines built into the program.
int device_db_scan_builtin(unsigned device_id);
