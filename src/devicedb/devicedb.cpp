// Placeholder until this module is written.
#include "devicedb/devicedb.h"
DeviceRecord device;
void device_db_set_defaults() {}
void device_db_load() {}
int device_db_scan(std::FILE*, unsigned) { return 0; }
