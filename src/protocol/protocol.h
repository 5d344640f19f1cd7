// The programmer's wire protocol. A frame is a command code, 0 to 2 argument
// bytes (16-bit values low byte first) and a check byte that brings the sum of
// the frame to 0 modulo 256. Codes below 0xC0 are the target's own ICSP
// commands (0x80: carries a data word, 0x40: returns data); from 0xC0 up they
// are the programmer's.
#pragma once

// The host address map (ADDR_*) belongs to the chip, not to the wire.
#include "devicedb/family.h"

enum : int {
    CMD_INCREMENT_ADDRESS = 0x06,
    CMD_BEGIN_PROGRAMMING = 0x08,
    CMD_BULK_ERASE_PROGRAM = 0x09,
    CMD_END_PROGRAMMING = 0x0A,
    CMD_BULK_ERASE_DATA = 0x0B,
    CMD_ROW_ERASE = 0x11,
    CMD_RESET_ADDRESS = 0x16,
    CMD_END_PROGRAMMING_ONLY = 0x17,  // PIC16F87/88/818/819, PIC16F87xA
    CMD_BEGIN_EXTERNALLY_TIMED = 0x18,
    CMD_CHIP_ERASE = 0x1F,
    CMD_READ_PROGRAM = 0x44,
    CMD_READ_DATA = 0x45,
    CMD_LOAD_CONFIG = 0x80,
    CMD_LOAD_PROGRAM = 0x82,
    CMD_LOAD_DATA = 0x83,
    CMD_SYNC = 0xC0,
    CMD_PROBE = 0xC1,
    CMD_VPP_OFF = 0xC2,
    CMD_VPP_ON = 0xC3,
    CMD_OSCCAL_HELPER = 0xC7,
    CMD_SET_VPP_VOLTAGE = 0xD4,
    CMD_SET_REPEAT = 0xD5,
    CMD_DELAY_US = 0xE6,
};

// Codes below 0xC0 are the chip's own ICSP commands, so the programmer knows
// any of them by the code alone: the low six bits are the command, 0x80 marks
// one that carries a data word (two argument bytes), 0x40 one that returns
// data. Codes from 0xC0 up are the programmer's own, each with its count.
enum : int {
    ICSP_LIMIT = 0xC0,
    ICSP_CARRIES_WORD = 0x80,
    ICSP_RETURNS_DATA = 0x40,
};

// Argument bytes of a frame with this code; -1 for a programmer code that
// does not exist.
constexpr int protocol_argument_bytes(int code) {
    if (code < ICSP_LIMIT) return (code & ICSP_CARRIES_WORD) ? 2 : 0;
    switch (code) {
    case CMD_SYNC: case CMD_PROBE: case CMD_VPP_OFF: case CMD_VPP_ON: case CMD_OSCCAL_HELPER:
        return 0;
    case CMD_SET_VPP_VOLTAGE: case CMD_SET_REPEAT:
        return 1;
    case CMD_DELAY_US:
        return 2;
    default:
        return -1;
    }
}

// Whether the programmer answers a frame with this code.
constexpr bool protocol_expects_reply(int code) {
    if (code < ICSP_LIMIT) return (code & ICSP_RETURNS_DATA) != 0;
    return code == CMD_SYNC || code == CMD_VPP_ON || code == CMD_PROBE;
}

enum : int {
    REPLY_ACK = 6,
    REPLY_NAK = 21,
};

enum : int {
    STATUS_VDD_TARGET = 0x10,  // the target has its own supply
    STATUS_ICSP_FAIL = 0x80,   // the programmer cannot reach the target
};
