// Placing a serial number into the image. The number is written where the
// HEX file's data would go, so the write sequence programs and verifies it
// like any other cell and the plan treats it as the file's own data.
#include "ops/serialno.h"

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/plan.h"

SerialRequest serial_request;

namespace {

constexpr uint16_t RETLW = 0x3400;

bool in_user_id(int address) { return address == ADDR_USER_ID; }
bool in_flash(int address) { return address >= 0 && address < PROGRAM_SPACE_END; }
bool in_eeprom(int address) { return address >= ADDR_EEPROM && address < IMAGE_SIZE; }

// The number's byte `i`, counted from the low end.
uint16_t byte_of(uint32_t number, int i) { return static_cast<uint16_t>((number >> (8 * i)) & 0xFF); }

}  // namespace

bool serial_address_valid(int address) {
    return in_user_id(address) || in_flash(address) || in_eeprom(address);
}

int serial_cells() {
    return in_user_id(serial_request.address) ? USER_ID_WORDS : serial_request.bytes;
}

uint32_t serial_limit() {
    int bits = in_user_id(serial_request.address) ? 16 : 8 * serial_request.bytes;
    return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
}

const char* serial_check_target() {
    int first = serial_request.address;
    int end = first + serial_cells();
    if (in_flash(first)) {
        if (end > plan_flash_size()) return "\nSerial number does not fit in program flash!";
        int o = device.osccal_address;
        if (o != 0 && o >= first && o < end)
            return "\nSerial number would overwrite the oscillator calibration word!";
    }
    if (in_eeprom(first) && end - ADDR_EEPROM > plan_eeprom_size())
        return "\nSerial number does not fit in data EEPROM!";
    return nullptr;
}

void serial_place(uint32_t number) {
    int a = serial_request.address;
    if (in_user_id(a)) {
        for (int i = 0; i < USER_ID_WORDS; ++i)
            image[a + i] = static_cast<uint16_t>((number >> (4 * (USER_ID_WORDS - 1 - i))) & 0xF);
        write_flags |= WF_USER_ID;
        return;
    }
    bool flash = in_flash(a);
    for (int i = 0; i < serial_request.bytes; ++i)
        image[a + i] = static_cast<uint16_t>(byte_of(number, i) | (flash ? RETLW : 0));
    write_flags |= flash ? WF_PROGRAM : WF_EEPROM;
}
