// Deciding the write sequence. Configuration words can only be programmed
// after a bulk erase of program memory, and a bulk erase takes everything:
// program flash, the user IDs and, on the PIC12F629 family, the factory
// calibration. So a plan that writes configuration words either erases the
// whole program (a HEX file that holds them is the whole program) or first
// reads the chip back into the cells the image leaves empty (a range command
// that edits one configuration word must not take the program with it).
#include "ops/plan.h"

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"

namespace {

enum : int {
    WF_ERASE_PROGRAM_USER_CONFIG = WF_BULK_ERASE | WF_PROGRAM | WF_USER_ID | WF_CONFIG,
    WF_PROGRAM_USER_CONFIG = WF_PROGRAM | WF_USER_ID | WF_CONFIG,
    WF_ERASE_PROGRAM_CONFIG = WF_BULK_ERASE | WF_PROGRAM | WF_CONFIG,
    WF_ERASE_CONFIG = WF_BULK_ERASE | WF_CONFIG,
};

// The chip's own words go back into the image before the erase: always on the
// PIC12F629 family when program memory is touched, and on the others when the
// configuration words come from a range command rather than a HEX file.
bool needs_copy(int flags, int file_flags) {
    if (flags & WF_BULK_ERASE) return false;
    if (device_family().keeps_calibration) return (flags & WF_ERASE_PROGRAM_USER_CONFIG) != 0;
    return (flags & WF_CONFIG) && !(file_flags & WF_CONFIG);
}

// The user ID row is erased and written whole. A range command that edits one
// user ID keeps the others; the IDs of a HEX file are the file's.
bool needs_user_id_copy(int flags, int file_flags) {
    if (device_family().keeps_calibration || (flags & WF_BULK_ERASE)) return false;
    if (!(flags & WF_USER_ID) || (file_flags & WF_USER_ID)) return false;
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        if (!cell_holds_data(image[ADDR_USER_ID + i])) return true;
    }
    return false;
}

void plan_preservation(WritePlan& p, int file_flags) {
    const ChipFamily& family = device_family();
    int asked = p.flags;
    p.copy_from_chip = needs_copy(asked, file_flags);
    p.copy_user_ids = !p.copy_from_chip && needs_user_id_copy(asked, file_flags);
    if (family.keeps_calibration) {
        p.read_osccal = true;
        p.read_config1 = true;
        if (asked & WF_ERASE_PROGRAM_USER_CONFIG) p.flags |= WF_PROGRAM_USER_CONFIG;
    } else {
        p.read_osccal = device.osccal_address != 0 && (asked & WF_ERASE_PROGRAM_CONFIG);
        p.read_config1 = device.save_mask != 0 && (asked & WF_ERASE_CONFIG);
        if (p.copy_from_chip) p.flags |= WF_PROGRAM | WF_USER_ID;
    }
    p.place_osccal = device.osccal_address != 0 && (p.flags & WF_ERASE_PROGRAM_CONFIG);
    if (p.place_osccal) p.flags |= WF_PROGRAM;
    p.merge_config_bits = device.save_mask != 0 && (p.flags & WF_ERASE_CONFIG);
    if (p.merge_config_bits) p.flags |= WF_CONFIG;
}

}  // namespace

int plan_flash_size() {
    int size = device.flash_size;
    if (size > PROGRAM_SPACE_END) size = PROGRAM_SPACE_END;
    return size < 0 ? 0 : size;
}

int plan_eeprom_size() {
    int size = device.eeprom_size;
    constexpr int room = static_cast<int>(IMAGE_SIZE) - static_cast<int>(ADDR_EEPROM);
    if (size > room) size = room;
    return size < 0 ? 0 : size;
}

bool plan_eeprom_has_data() { return cells_hold_data(ADDR_EEPROM, plan_eeprom_size()); }

WritePlan plan_write(int flags, int file_flags) {
    WritePlan p{};
    p.flags = flags;
    if (flags == 0) return p;
    p.unknown_chip = (device.flash_size & 0x8000) != 0;
    if (p.unknown_chip) return p;
    plan_preservation(p, file_flags);
    // Only an explicit bulk erase request clears the data EEPROM.
    p.erase_data = (p.flags & WF_BULK_ERASE) && device.eeprom_size > 0;
    if (p.flags & WF_CONFIG) p.flags |= WF_BULK_ERASE;
    if (device_family().keeps_calibration && (p.flags & WF_ERASE_PROGRAM_USER_CONFIG)) {
        p.check_osccal = true;
        p.flags |= WF_ERASE_PROGRAM_USER_CONFIG;
    }
    p.erase_program = (p.flags & WF_BULK_ERASE) != 0;
    p.write_flash = (p.flags & WF_PROGRAM) != 0;
    p.row_erase = !p.erase_program;
    p.write_eeprom = plan_eeprom_has_data();
    p.write_user_ids = (p.flags & WF_USER_ID) != 0;
    p.write_config = (p.flags & WF_CONFIG) != 0;
    return p;
}
