// Programmer commands and positioning of the target's address counter. The
// counter can only be reset to 0, set to 0x8000 (Load Configuration) or moved
// forward, so the host tracks it in `address_cursor` and never re-reads it.
#include "protocol/prog.h"

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "protocol/link.h"
#include "protocol/protocol.h"
#include "ui/fail.h"
#include "ui/diagnose.h"

int address_cursor;

namespace {

// Address spaces of the host map.
constexpr int CONFIG_SPACE = 0x8000;
constexpr int EEPROM_SPACE = ADDR_EEPROM;
// The programmer queues increment commands; after this many in a row the host
// waits for it to catch up before sending more.
constexpr int INCREMENTS_PER_SYNC = 11;
constexpr int MAX_REPEAT = 255;

const char* const COMM_ERROR = "\ncommunication error!";

void send_frame2(int code, int arg) {
    const unsigned char frame[2] = {static_cast<unsigned char>(code),
                                    static_cast<unsigned char>(arg & 0xFF)};
    link_send_frame(frame, 2);
}

void send_frame3(int code, int low, int high) {
    const unsigned char frame[3] = {static_cast<unsigned char>(code),
                                    static_cast<unsigned char>(low & 0xFF),
                                    static_cast<unsigned char>(high & 0xFF)};
    link_send_frame(frame, 3);
}

bool in_config_space(int a) { return a >= CONFIG_SPACE && a < EEPROM_SPACE; }

// A refused frame is answered with a lone NAK. When it is the reply awaited
// (or comes just ahead of it), the reply starts with that NAK and then breaks
// off or fails its checksum; a reply that merely holds the value 0x15 in its
// first byte passes its checksum and is not taken for one.
void note_if_refused(int first_byte) {
    if (first_byte == REPLY_NAK) ui_note_refusal();
}

[[noreturn]] void reply_failed(int first_byte) {
    note_if_refused(first_byte);
    fail(COMM_ERROR);
}

}  // namespace

void prog_set_vpp_voltage(int tenths_of_volt) { send_frame2(CMD_SET_VPP_VOLTAGE, tenths_of_volt); }

// The repeat count applies to the next frame only; a count of 1 is the default.
void prog_set_repeat(int n) {
    if (n >= 2) send_frame2(CMD_SET_REPEAT, n);
}

void prog_sync() {
    link_send_command(CMD_SYNC);
    int reply = link_receive_byte();
    if (reply != REPLY_ACK) reply_failed(reply);
}

void prog_delay_us(int microseconds) { send_frame3(CMD_DELAY_US, microseconds, microseconds >> 8); }

// Program words are 14 bits wide; the programmer gets the low byte first.
void prog_load_program_word(int word) {
    int w = word & 0x3FFF;
    send_frame3(CMD_LOAD_PROGRAM, w, w >> 8);
}

// Increments go out 255 to a command under a repeat count; a sync after every
// 11 commands keeps the programmer's queue from overflowing on long moves.
void prog_increment(int n) {
    address_cursor += n;
    int sent = 0;
    while (n > 0) {
        int chunk = n <= MAX_REPEAT ? n : MAX_REPEAT;
        prog_set_repeat(chunk);
        link_send_command(CMD_INCREMENT_ADDRESS);
        ++sent;
        n -= chunk;
        if (sent == INCREMENTS_PER_SYNC) {
            prog_sync();
            sent = 0;
        }
    }
}

// Parts without a Reset Address command (PIC12F629 family): switching VPP
// off and on puts their counter back to 0.
void prog_reset_address() {
    address_cursor = 0;
    if (device_family().address_reset == RESET_BY_COMMAND) {
        link_send_command(CMD_RESET_ADDRESS);
        return;
    }
    link_send_command(CMD_VPP_OFF);
    link_send_command(CMD_VPP_ON);
    link_flush();
    int reply = link_read_timed(REPLY_WAITS);
    note_if_refused(reply);
    if (reply != REPLY_ACK) fail("\nVPP activation failed!");
}

// Reaches `address` from the cursor: forward within a space by increments,
// backwards or into another space from that space's start.
void prog_set_address(int address) {
    if (address == 0) {
        prog_reset_address();
    } else if (address < CONFIG_SPACE) {
        if (address < address_cursor) prog_reset_address();
    } else if (address < EEPROM_SPACE) {
        if (!in_config_space(address_cursor) || address < address_cursor) {
            send_frame3(CMD_LOAD_CONFIG, 0, 0);
            address_cursor = CONFIG_SPACE;
        }
    } else if (address_cursor < EEPROM_SPACE || address < address_cursor) {
        // The reset leaves the counter on the first data EEPROM byte as well.
        prog_reset_address();
        address_cursor = EEPROM_SPACE;
    }
    prog_increment(address - address_cursor);
}

// A repeated read returns `count` consecutive words and leaves the target's
// counter on the last one read. The programmer sends a reply in one burst, so
// a word that does not come within the reply time-out means the reply stops
// short: the run ends at once rather than waiting out every missing word, and
// a late byte can never make up the checksum of a reply with a gap in it.
void prog_read_block(int address, int count, uint16_t* words) {
    prog_set_address(address);
    int c = count & 0xFF;
    address_cursor += c - 1;
    prog_set_repeat(c);
    link_send_command(address >= EEPROM_SPACE ? CMD_READ_DATA : CMD_READ_PROGRAM);
    link_expect_reply(2 * c + 1);
    int first_byte = -1;
    for (int i = 0; i < c; ++i) {
        int low = link_receive_byte();
        if (i == 0) first_byte = low;
        int high = low < 0 ? -1 : link_receive_byte();
        if (high < 0) reply_failed(first_byte);
        words[i] = static_cast<uint16_t>(low + 256 * high);
    }
    if (link_receive_checksum() != 0) reply_failed(first_byte);
}

uint16_t prog_read_word(int address) {
    uint16_t w = 0;
    prog_read_block(address, 1, &w);
    return w;
}

// The programmer holds back the next frame for the delay: an internally timed
// cycle runs while it waits, an externally timed one is ended after it. On
// families whose 0x08 erases before it programs, the same cycle rewrites
// words that hold other data.
void prog_program_cycle(int microseconds) {
    const ChipFamily& family = device_family();
    link_send_command(family.begin_programming);
    prog_delay_us(microseconds);
    if (family.end_programming != 0) link_send_command(family.end_programming);
}

void prog_program_flash_cycle() { prog_program_cycle(device.prog_time); }

void prog_program_data_cycle() { prog_program_cycle(device.data_time); }

// EEPROM bytes go in the low byte of the Load Data frame's word.
void prog_load_data_byte(int byte) { send_frame3(CMD_LOAD_DATA, byte, 0); }

// Families whose programming cycle erases first have no row erase and need
// none; an externally timed row erase is ended after its time.
void prog_erase_row() {
    const ChipFamily& family = device_family();
    if (family.row_erase == 0) return;
    link_send_command(family.row_erase);
    prog_delay_us(device.row_erase_time);
    if (family.end_row_erase != 0) link_send_command(family.end_row_erase);
}

// From 0x8000 the bulk erase takes the user IDs with the program; the
// calibration words above the configuration words are out of its reach there
// (issued from 0x8008 on the PIC16F690 family it would erase them). Some
// families erase only after a Load Data of 0x3FFF, some only when 0x08 starts
// the erase; the Chip Erase of the others clears code protection as well.
void prog_erase_chip() {
    const ChipFamily& family = device_family();
    prog_set_address(ADDR_USER_ID);
    if (family.erase_after_load) prog_load_program_word(0x3FFF);
    link_send_command(family.bulk_erase_program);
    if (family.erase_start != 0 && family.bulk_erase_program == CMD_BULK_ERASE_PROGRAM)
        link_send_command(family.erase_start);
    prog_delay_us(device.bulk_erase_time);
}

void prog_erase_data() {
    const ChipFamily& family = device_family();
    link_send_command(family.bulk_erase_data);
    if (family.erase_start != 0) link_send_command(family.erase_start);
    prog_delay_us(device.bulk_erase_time);
}

void prog_start_osccal_helper() {
    link_send_command(CMD_OSCCAL_HELPER);
    link_flush();
}

void prog_send_sync() {
    link_send_command(CMD_SYNC);
    link_flush();
}

// Writes one word at the target's current address and reads it back; the
// address stays where it is, so the cursor is unchanged. Where the family's
// latches keep a configuration word after its cycle, the chip leaves and
// re-enters programming mode, which clears them, and comes back to the word.
int prog_write_word_checked(int word) {
    int address = address_cursor;
    prog_load_program_word(word);
    prog_program_cycle(device.config_time);
    link_send_command(CMD_READ_PROGRAM);
    link_expect_reply(3);
    int low = link_receive_byte();
    int high = low < 0 ? -1 : link_receive_byte();
    if (high < 0) {
        note_if_refused(low);
        return -1;
    }
    // The caller compares the word; a broken reply only explains a mismatch.
    if (link_receive_checksum() != 0) note_if_refused(low);
    if (device_family().config_keeps_latches && address >= ADDR_DEVICE_ID && address <= ADDR_CONFIG1 + 2) {
        prog_reset_address();
        prog_set_address(address);
    }
    return low + 256 * high;
}
