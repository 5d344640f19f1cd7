// Feeds arbitrary text to the program as its device database: the input after
// the first two bytes is written to picup.dat beside the program, and the
// look-up a run makes once the target has told its ID opens and reads it. The
// first two bytes are that device ID.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "devicedb/devicedb.h"
#include "program_dir.h"
#include "protocol/detect.h"
#include "platform/files.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    program_dir::create();
    std::snprintf(program_base_path, sizeof program_base_path, "%s", program_dir::program);
    std::snprintf(program_stem, sizeof program_stem, "picup");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // An empty database is still a file: the program writes its default one
    // only where there is none.
    program_dir::write_file(".dat", data + 2, size - 2, false);
    unsigned id = (data[0] | (data[1] << 8)) & 0x3FFF;
    target_info.device_id = static_cast<uint16_t>(id);
    device_db_load(id);
    if (strnlen(device.name, sizeof device.name) > 20) __builtin_trap();
    return 0;
}
