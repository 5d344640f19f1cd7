// The older mid-range chips, family by family:
//
// PIC12F683/PIC16F690 family, PIC16F91x, PIC16F88x (type 2): Begin
//   Programming 0x08 writes the 4 or 8 latches of the block (internally timed);
//   Row Erase 0x11 erases the 16-word row the counter is in (in configuration
//   space the row 0x8000-0x800F, which holds the calibration words); Bulk
//   Erase 0x09 erases program memory and the configuration words, and from
//   configuration space the user IDs, and from 0x8008 on also the calibration
//   words. The latches keep their words after a cycle at 0x8006-0x8009.
// PIC16F627A/628A/648A (type 3): word programming by 0x08; Bulk Erase 0x09
//   acts only right after a Load Data of 0x3FFF.
// PIC16F84A (type 4): 0x08 erases the word (byte) and programs it, 0x18
//   programs only; 0x09/0x0B after a Load Data of 0x3FFF are run by the 0x08
//   that follows (10 ms).
// PIC12F609/615/617, PIC16F610/616 (type 5): no internally timed
//   programming: 0x18 starts it, 0x0A ends it; no data EEPROM, no Row Erase.
// PIC16F87/88/818/819 (type 6): 0x18 programs the 4-word block until 0x17;
//   0x08 erases the 32-word row until 0x17; 0x1F Chip Erase clears program
//   memory, configuration words, user IDs and data EEPROM.
// PIC16F873A-877A (type 7): 0x08 erases and programs the 8-word block
//   (internally timed); 0x09/0x0B are run by a following 0x08, refused on a
//   protected chip and leave the configuration word; 0x1F clears everything.
//
// None of them has Reset Address. Below the part's lowest VPP the chip stays
// in reset and reads as zeros.
#include "sim/midrange.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr uint16_t CALIBRATION_FACTORY = 0x2C5A;

// ICSP command numbers (the low six bits of the wire code).
enum : int {
    LOAD_CONFIG = 0x00,
    LOAD_PROGRAM = 0x02,
    LOAD_DATA = 0x03,
    READ_PROGRAM = 0x04,
    READ_DATA = 0x05,
    INCREMENT = 0x06,
    BEGIN = 0x08,
    BULK_PROGRAM = 0x09,
    END_EXTERNAL = 0x0A,
    BULK_DATA = 0x0B,
    ROW_ERASE = 0x11,
    RESET_ADDRESS = 0x16,
    END_PROGRAMMING = 0x17,
    BEGIN_EXTERNAL = 0x18,
    CHIP_ERASE = 0x1F,
};

// Families by type code, as the part table names them.
enum : int {
    ROW_LATCHES = FAMILY_ROW_LATCHES,
    ERASE_AFTER_LOAD = FAMILY_ERASE_AFTER_LOAD,
    ERASE_PROGRAM_CYCLE = FAMILY_ERASE_PROGRAM_CYCLE,
    EXTERNALLY_TIMED = FAMILY_EXTERNALLY_TIMED,
    CHIP_ERASE_FAMILY = FAMILY_CHIP_ERASE,
    BLOCK_ERASE_PROGRAM = FAMILY_BLOCK_ERASE_PROGRAM,
};

// Row Erase reach and the 16F87/88's 0x08 row.
constexpr int ROW_LATCH_ROW = 16;
constexpr int CHIP_ERASE_ROW = 32;

std::string hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFFF);
    return text;
}

std::string volts(int tenths) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d V", tenths / 10, tenths % 10);
    return text;
}

}  // namespace

bool MidrangeChip::models(const PartInfo& part) {
    return part.type_code >= FAMILY_ROW_LATCHES && part.type_code <= FAMILY_BLOCK_ERASE_PROGRAM;
}

MidrangeChip::MidrangeChip(const PartInfo& part, int device_id)
    : part_(part),
      flash_(static_cast<size_t>(part.flash_size), ERASED),
      eeprom_(static_cast<size_t>(part.eeprom_size), 0xFF) {
    config_.fill(ERASED);
    config_[6] = static_cast<uint16_t>(device_id >= 0 ? device_id : part_default_id(part));
    for (int i = 0; i < part_.calibration_count; ++i) {
        size_t c = static_cast<size_t>(part_.calibration_first - CONFIG_BASE + i);
        if (c < config_.size()) config_[c] = static_cast<uint16_t>(CALIBRATION_FACTORY + i);
    }
    latch_.fill(ERASED);
}

// The command set of each family.
bool MidrangeChip::has(int icsp) const {
    switch (icsp) {
    case LOAD_CONFIG: case LOAD_PROGRAM: case READ_PROGRAM: case INCREMENT:
        return true;
    case LOAD_DATA: case READ_DATA:
        return part_.eeprom_size > 0;
    case BULK_PROGRAM:
        return true;
    case BULK_DATA:
        return part_.eeprom_size > 0;
    case BEGIN:
        return family() != EXTERNALLY_TIMED;
    case ROW_ERASE:
        return family() == ROW_LATCHES;
    case BEGIN_EXTERNAL:
        return family() == ERASE_PROGRAM_CYCLE || family() == EXTERNALLY_TIMED ||
               family() == CHIP_ERASE_FAMILY || family() == BLOCK_ERASE_PROGRAM;
    case END_EXTERNAL:
        return family() == EXTERNALLY_TIMED;
    case END_PROGRAMMING:
        return family() == CHIP_ERASE_FAMILY || family() == BLOCK_ERASE_PROGRAM;
    case CHIP_ERASE:
        return family() == CHIP_ERASE_FAMILY || family() == BLOCK_ERASE_PROGRAM;
    default:
        return false;
    }
}

int MidrangeChip::latches() const {
    int n = part_.write_latches;
    if (n < 1) n = 1;
    return n > static_cast<int>(latch_.size()) ? static_cast<int>(latch_.size()) : n;
}

// The code-protection bit of configuration word 1, clear when protected:
// bit 6 on the row-latch and externally timed parts, bit 4 (of CP bits 13:4)
// on the PIC16F84A, bit 13 on the others.
bool MidrangeChip::protected_program() const {
    int bit = 0x2000;
    if (family() == ROW_LATCHES || family() == EXTERNALLY_TIMED) bit = 0x40;
    if (family() == ERASE_PROGRAM_CYCLE) bit = 0x10;
    return (config_[CONFIG1] & bit) == 0;
}

bool MidrangeChip::is_calibration(int address) const {
    int first = part_.calibration_first;
    return first != 0 && address >= first && address < first + part_.calibration_count;
}

bool MidrangeChip::config_writable(int address) const {
    int i = address - CONFIG_BASE;
    if (i >= 0 && i <= 3) return true;
    return i >= CONFIG1 && i < CONFIG1 + part_.config_words;
}

int MidrangeChip::flash_index(int address) const { return (address & 0x7FFF) % part_.flash_size; }

void MidrangeChip::fault(const std::string& text) {
    // One line per kind of fault and place is enough to tell what happened.
    if (std::find(faults_.begin(), faults_.end(), text) == faults_.end()) faults_.push_back(text);
}

uint16_t MidrangeChip::peek(int address) const {
    address &= 0xFFFF;
    if (address < CONFIG_BASE) return flash_[static_cast<size_t>(flash_index(address))];
    if (address < EEPROM_BASE) {
        int i = address - CONFIG_BASE;
        if (i >= static_cast<int>(config_.size())) return ERASED;
        // Unimplemented configuration bits read as 0.
        if (i >= CONFIG1 && i < CONFIG1 + part_.config_words && i - CONFIG1 < MAX_CONFIG_WORDS)
            return config_[static_cast<size_t>(i)] & static_cast<uint16_t>(part_.config_masks[i - CONFIG1]);
        return config_[static_cast<size_t>(i)];
    }
    if (part_.eeprom_size == 0) return 0xFF;
    return eeprom_[static_cast<size_t>((address - EEPROM_BASE) % part_.eeprom_size)];
}

void MidrangeChip::poke(int address, uint16_t value) {
    address &= 0xFFFF;
    if (address < CONFIG_BASE) {
        flash_[static_cast<size_t>(flash_index(address))] = value & ERASED;
    } else if (address < EEPROM_BASE) {
        int i = address - CONFIG_BASE;
        if (i < static_cast<int>(config_.size())) config_[static_cast<size_t>(i)] = value & ERASED;
    } else if (part_.eeprom_size > 0) {
        eeprom_[static_cast<size_t>((address - EEPROM_BASE) % part_.eeprom_size)] = static_cast<uint8_t>(value);
    }
}

// Below its lowest VPP the chip does not enter programming mode: it stays
// in reset, and every read gives zeros. Above the highest the chip is
// over-stressed (it works, but the host must never do it).
void MidrangeChip::vpp_on(int tenths) {
    powered_ = true;
    programming_ = tenths >= part_.vpp_min;
    counter_ = 0;
    latch_.fill(ERASED);
    last_load_data_ = false;
    loaded_ones_ = false;
    armed_erase_ = 0;
    if (tenths < part_.vpp_min)
        fault("VPP " + volts(tenths) + " below the part's " + volts(part_.vpp_min) + ": chip stays in reset");
    if (tenths > part_.vpp_max)
        fault("VPP " + volts(tenths) + " above the part's maximum " + volts(part_.vpp_max));
}

void MidrangeChip::vpp_changed(int tenths) {
    if (!powered_) return;
    if (tenths > part_.vpp_max)
        fault("VPP " + volts(tenths) + " above the part's maximum " + volts(part_.vpp_max));
}

void MidrangeChip::vpp_off(double since_us) {
    if (pending_.op != Op::NONE) {
        if (pending_.external) {
            fault("externally timed programming never ended (VPP off)");
            ++lost_;
            pending_ = Pending();
        } else {
            settle(-1, since_us);
        }
    }
    powered_ = false;
    programming_ = false;
    counter_ = 0;
}

// A running operation completes when it had its time before the next
// command (an internally timed one) or before its End Programming (an
// externally timed one); an externally timed one must be ended before any
// other command.
void MidrangeChip::settle(int icsp, double since_us) {
    if (pending_.op == Op::NONE) return;
    Pending p = pending_;
    bool ends = !p.external || icsp == END_EXTERNAL || icsp == END_PROGRAMMING;
    if (p.external && !ends) {
        fault("externally timed programming never ended before command " + hex(icsp));
        ++lost_;
        pending_ = Pending();
        return;
    }
    pending_ = Pending();
    if (since_us + 0.5 < p.required_us) {
        fault("cycle of " + std::to_string(static_cast<long>(since_us)) + " us, shorter than the part's " +
              std::to_string(p.required_us) + " us");
        ++lost_;
        return;
    }
    commit(p);
}

void MidrangeChip::start(Op op, bool external, int required_us) {
    pending_.op = op;
    pending_.external = external;
    pending_.counter = counter_;
    pending_.required_us = required_us;
    pending_.data = last_load_data_;
}

void MidrangeChip::command(int icsp, int arg, double since_us) {
    bool ends_external = pending_.external && (icsp == END_EXTERNAL || icsp == END_PROGRAMMING);
    settle(icsp, since_us);
    if (!has(icsp)) {
        fault("ICSP command " + hex(icsp) + " the part does not have");
        return;
    }
    if (!programming_) return;
    bool ones = false;
    int armed = armed_erase_;
    armed_erase_ = 0;
    switch (icsp) {
    case LOAD_CONFIG:
        counter_ = CONFIG_BASE;
        break;
    case LOAD_PROGRAM: {
        uint16_t word = static_cast<uint16_t>(arg) & ERASED;
        latch_[static_cast<size_t>(counter_ % latches())] = word;
        last_load_data_ = false;
        ones = word == ERASED;
        break;
    }
    case LOAD_DATA:
        data_latch_ = static_cast<uint8_t>(arg & 0xFF);
        last_load_data_ = true;
        break;
    case READ_PROGRAM: case READ_DATA:
        break;  // the programmer reads through read_program/read_data
    case INCREMENT:
        increment();
        break;
    case BEGIN:
        if (armed != 0) {
            // The 16F84A's and 16F87xA's bulk erases run on the 0x08 after them.
            start(armed == BULK_PROGRAM ? Op::BULK_PROGRAM : Op::BULK_DATA, false, part_.bulk_erase_time);
        } else if (family() == CHIP_ERASE_FAMILY) {
            if (counter_ >= CONFIG_BASE) fault("row erase 0x08 in configuration space");
            else start(Op::ROW_ERASE, true, part_.row_erase_time);
        } else if (family() == ERASE_PROGRAM_CYCLE || family() == BLOCK_ERASE_PROGRAM) {
            start(last_load_data_ ? Op::PROGRAM_DATA : Op::ERASE_PROGRAM, false,
                  last_load_data_ ? part_.data_time : counter_ >= CONFIG_BASE ? part_.config_time : part_.prog_time);
        } else {
            start(last_load_data_ ? Op::PROGRAM_DATA : Op::PROGRAM, false,
                  last_load_data_ ? part_.data_time : counter_ >= CONFIG_BASE ? part_.config_time : part_.prog_time);
        }
        break;
    case BEGIN_EXTERNAL:
        start(last_load_data_ ? Op::PROGRAM_DATA : Op::PROGRAM, family() != ERASE_PROGRAM_CYCLE,
              last_load_data_ ? part_.data_time : counter_ >= CONFIG_BASE ? part_.config_time : part_.prog_time);
        break;
    case END_EXTERNAL: case END_PROGRAMMING:
        if (!ends_external) fault("End Programming " + hex(icsp) + " with nothing running");
        break;
    case ROW_ERASE:
        start(Op::ROW_ERASE, false, part_.row_erase_time);
        break;
    case BULK_PROGRAM:
        if (family() == ERASE_AFTER_LOAD || family() == ERASE_PROGRAM_CYCLE) {
            if (!loaded_ones_) {
                fault("Bulk Erase without a Load Data of 0x3FFF before it: nothing erased");
                break;
            }
        }
        if (family() == ERASE_PROGRAM_CYCLE || family() == BLOCK_ERASE_PROGRAM) {
            if (family() == BLOCK_ERASE_PROGRAM && protected_program()) {
                fault("Bulk Erase on a code-protected chip: refused");
                break;
            }
            armed_erase_ = BULK_PROGRAM;
            break;
        }
        start(Op::BULK_PROGRAM, false, part_.bulk_erase_time);
        break;
    case BULK_DATA:
        if (family() == ERASE_PROGRAM_CYCLE || family() == BLOCK_ERASE_PROGRAM) {
            armed_erase_ = BULK_DATA;
            break;
        }
        start(Op::BULK_DATA, false, part_.bulk_erase_time);
        break;
    case CHIP_ERASE:
        start(Op::CHIP_ERASE, false, part_.bulk_erase_time);
        break;
    default:
        break;
    }
    loaded_ones_ = ones;
}

uint16_t MidrangeChip::read_program() const {
    if (!programming_) return 0;
    if (counter_ < CONFIG_BASE && protected_program()) return 0;
    return peek(counter_);
}

uint16_t MidrangeChip::read_data() const {
    if (!programming_ || part_.eeprom_size == 0) return 0;
    return eeprom_[static_cast<size_t>((counter_ & 0x7FFF) % part_.eeprom_size)];
}

void MidrangeChip::increment() {
    if (!programming_) return;
    int space = counter_ & CONFIG_BASE;
    counter_ = space | ((counter_ + 1) & 0x7FFF);
}

// In configuration space a cycle writes the one word the counter is on; the
// device ID and revision are read-only and the calibration words are never
// written by programming.
void MidrangeChip::program_config_word(int address, uint16_t word, bool erase_first) {
    if (is_calibration(address)) {
        fault("programming of calibration word " + hex(address));
        return;
    }
    if (!config_writable(address)) return;
    uint16_t& cell = config_[static_cast<size_t>(address - CONFIG_BASE)];
    cell = erase_first ? word : static_cast<uint16_t>(cell & word);
}

// The latch block that holds the counter: programming only clears bits; a
// cycle that erases first (PIC16F87xA, PIC16F84A) writes every latch of the
// block, loaded or not.
void MidrangeChip::program_block(const Pending& p, bool erase_first) {
    int n = latches();
    int base = p.counter - p.counter % n;
    for (int i = 0; i < n; ++i) {
        uint16_t word = latch_[static_cast<size_t>(i)];
        uint16_t& cell = flash_[static_cast<size_t>(flash_index(base + i))];
        cell = erase_first ? word : static_cast<uint16_t>(cell & word);
    }
}

// Program memory and the configuration words (not the calibration words);
// from configuration space also the user IDs, and from the first calibration
// word on the calibration words as well.
void MidrangeChip::bulk_program(int counter, bool with_config) {
    std::fill(flash_.begin(), flash_.end(), ERASED);
    if (with_config)
        for (int i = 0; i < part_.config_words; ++i) config_[static_cast<size_t>(CONFIG1 + i)] = ERASED;
    if (counter >= CONFIG_BASE) std::fill(config_.begin(), config_.begin() + 4, ERASED);
    if (part_.calibration_first != 0 && counter >= part_.calibration_first) {
        fault("bulk erase at " + hex(counter) + " destroyed the calibration words");
        for (int i = 0; i < part_.calibration_count; ++i)
            config_[static_cast<size_t>(part_.calibration_first - CONFIG_BASE + i)] = ERASED;
    }
}

void MidrangeChip::commit(const Pending& p) {
    bool erase_first = p.op == Op::ERASE_PROGRAM;
    switch (p.op) {
    case Op::NONE:
        break;
    case Op::PROGRAM: case Op::ERASE_PROGRAM:
        if (p.counter >= CONFIG_BASE) {
            program_config_word(p.counter, latch_[static_cast<size_t>(p.counter % latches())], erase_first);
            // The row-latch parts keep their latches after 0x8006-0x8009.
            if (family() == ROW_LATCHES && p.counter >= 0x8006 && p.counter <= 0x8009) break;
        } else {
            program_block(p, erase_first);
        }
        latch_.fill(ERASED);
        break;
    case Op::PROGRAM_DATA:
        if (part_.eeprom_size > 0)
            eeprom_[static_cast<size_t>((p.counter & 0x7FFF) % part_.eeprom_size)] = data_latch_;
        break;
    case Op::ROW_ERASE: {
        int row = family() == CHIP_ERASE_FAMILY ? CHIP_ERASE_ROW : ROW_LATCH_ROW;
        if (p.counter >= CONFIG_BASE) {
            // The row 0x8000-0x800F: user IDs, configuration and calibration.
            fault("row erase in configuration space destroyed the calibration words");
            for (int i = 0; i < 16; ++i)
                if (i != 6 && i != 5) config_[static_cast<size_t>(i)] = ERASED;
        } else {
            int base = p.counter - p.counter % row;
            for (int i = 0; i < row; ++i) flash_[static_cast<size_t>(flash_index(base + i))] = ERASED;
        }
        break;
    }
    case Op::BULK_PROGRAM:
        // The PIC16F87xA's and PIC16F87/88's Bulk Erase leave the
        // configuration words; only their Chip Erase clears them.
        bulk_program(p.counter, family() != BLOCK_ERASE_PROGRAM && family() != CHIP_ERASE_FAMILY);
        break;
    case Op::BULK_DATA:
        std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
        break;
    case Op::CHIP_ERASE:
        std::fill(flash_.begin(), flash_.end(), ERASED);
        std::fill(config_.begin(), config_.begin() + 4, ERASED);
        for (int i = 0; i < part_.config_words; ++i) config_[static_cast<size_t>(CONFIG1 + i)] = ERASED;
        std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
        break;
    }
}

}  // namespace sim
