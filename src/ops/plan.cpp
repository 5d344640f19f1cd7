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

int flash_size_of(const Part& part) {
    int size = part.flash_size;
    if (size > PROGRAM_SPACE_END) size = PROGRAM_SPACE_END;
    return size < 0 ? 0 : size;
}

int eeprom_size_of(const Part& part) {
    int size = part.eeprom_size;
    constexpr int room = static_cast<int>(IMAGE_SIZE) - static_cast<int>(ADDR_EEPROM);
    if (size > room) size = room;
    return size < 0 ? 0 : size;
}

bool any_data(const uint16_t* cells, int first, int count) {
    for (int a = first; a < first + count && a < IMAGE_SIZE; ++a) {
        if (cell_holds_data(cells[a])) return true;
    }
    return false;
}

// A chip without row erase (whose programming does not erase either) only
// clears its program memory whole.
bool erases_only_in_bulk(const Part& part) { return part_erases_only_in_bulk(part); }

// Configuration words are only ever programmed after the chip erase; on
// families whose row erase cannot take the user IDs alone, so are user IDs.
bool needs_chip_erase(const Part& part, int flags) {
    if (flags & WF_CONFIG) return true;
    return (flags & WF_USER_ID) && !family_of(part.type_code).row_erase_user_ids;
}

// The chip's own words go back into the image before the erase: always on a
// chip that only erases in bulk when program memory is touched, and on the
// others when the configuration words come from a range command rather than a
// HEX file.
bool needs_copy(const Part& part, int flags, int file_flags) {
    if (flags & WF_BULK_ERASE) return false;
    if (erases_only_in_bulk(part)) return (flags & WF_ERASE_PROGRAM_USER_CONFIG) != 0;
    return needs_chip_erase(part, flags) && !(file_flags & WF_CONFIG);
}

// The user ID row is erased and written whole. A range command that edits one
// user ID keeps the others; the IDs of a HEX file are the file's.
bool needs_user_id_copy(const Part& part, const uint16_t* cells, int flags, int file_flags) {
    if (erases_only_in_bulk(part) || (flags & WF_BULK_ERASE)) return false;
    if (!(flags & WF_USER_ID) || (file_flags & WF_USER_ID)) return false;
    for (int i = 0; i < USER_ID_WORDS; ++i) {
        if (!cell_holds_data(cells[ADDR_USER_ID + i])) return true;
    }
    return false;
}

void plan_preservation(WritePlan& p, const Part& part, const uint16_t* cells, int file_flags) {
    int asked = p.flags;
    p.copy_from_chip = needs_copy(part, asked, file_flags);
    p.copy_user_ids = !p.copy_from_chip && needs_user_id_copy(part, cells, asked, file_flags);
    if (erases_only_in_bulk(part) && (asked & WF_ERASE_PROGRAM_USER_CONFIG)) p.flags |= WF_PROGRAM_USER_CONFIG;
    if (family_of(part.type_code).calibration == CALIBRATION_READ_BACK) {
        p.read_osccal = true;
        p.read_config1 = true;
    } else {
        p.read_osccal = part.osccal_address != 0 && (asked & WF_ERASE_PROGRAM_CONFIG);
        p.read_config1 = part.save_mask != 0 && (asked & WF_ERASE_CONFIG);
        // The chip's configuration words go back after the erase as well.
        if (p.copy_from_chip) p.flags |= WF_PROGRAM | WF_USER_ID | WF_CONFIG;
    }
    p.place_osccal = part.osccal_address != 0 && (p.flags & WF_ERASE_PROGRAM_CONFIG);
    if (p.place_osccal) p.flags |= WF_PROGRAM;
    p.merge_config_bits = part.save_mask != 0 && (p.flags & WF_ERASE_CONFIG);
    if (p.merge_config_bits) p.flags |= WF_CONFIG;
}

}  // namespace

int plan_flash_size() { return flash_size_of(device); }

int plan_eeprom_size() { return eeprom_size_of(device); }

bool plan_eeprom_has_data() { return cells_hold_data(ADDR_EEPROM, plan_eeprom_size()); }

WritePlan plan_write(const Part& part, const uint16_t* cells, const WriteRequest& request) {
    WritePlan p{};
    p.flags = request.flags;
    if (p.flags == 0) return p;
    p.unknown_chip = (part.flash_size & 0x8000) != 0;
    if (p.unknown_chip) return p;
    plan_preservation(p, part, cells, request.file_flags);
    // Only an explicit bulk erase request clears the data EEPROM.
    p.erase_data = (p.flags & WF_BULK_ERASE) && part.eeprom_size > 0;
    if (needs_chip_erase(part, p.flags)) p.flags |= WF_BULK_ERASE;
    if (erases_only_in_bulk(part) && (p.flags & WF_ERASE_PROGRAM_USER_CONFIG)) {
        p.check_osccal = part.osccal_address != 0;
        p.flags |= WF_ERASE_PROGRAM_USER_CONFIG;
    }
    p.erase_program = (p.flags & WF_BULK_ERASE) != 0;
    p.write_flash = (p.flags & WF_PROGRAM) != 0;
    p.row_erase = !p.erase_program;
    // The copies from the chip and the kept words never touch data EEPROM, so
    // what the image holds there now is what is written.
    p.copy_eeprom = p.erase_program && !p.erase_data && family_of(part.type_code).erase_takes_data &&
                    eeprom_size_of(part) > 0;
    p.write_eeprom = p.copy_eeprom || any_data(cells, ADDR_EEPROM, eeprom_size_of(part));
    p.write_user_ids = (p.flags & WF_USER_ID) != 0;
    p.write_config = (p.flags & WF_CONFIG) != 0;
    return p;
}

WritePlan plan_run() { return plan_write(device, image, WriteRequest{write_flags, file_write_flags}); }
