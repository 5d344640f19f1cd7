// Target chip models: memory arrays, the address counter, the programming
// latches and the effect of each ICSP command.
#include "sim/chip.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

// The parts of the default device database with their programming times.
const std::vector<PartInfo> kParts = {
    {"PIC12F1840", 0x1B80, 0x3FE0, 32, 0x1000, 256, 0, 2500, 5000, 2500, 5000},
    {"PIC12LF1840", 0x1BC0, 0x3FE0, 32, 0x1000, 256, 0, 2500, 5000, 2500, 5000},
    {"PIC16F1503", 0x2CE0, 0x3FE0, 16, 0x0800, 0, 0, 2500, 5000, 2500, 5000},
    {"PIC16LF1503", 0x2DA0, 0x3FE0, 16, 0x0800, 0, 0, 2500, 5000, 2500, 5000},
    {"PIC16F1705", 0x3055, 0x3FFF, 32, 0x2000, 0, 0, 2500, 5000, 2500, 5000},
    {"PIC16LF1705", 0x3057, 0x3FFF, 32, 0x2000, 0, 0, 2500, 5000, 2500, 5000},
    {"PIC16F1825", 0x2760, 0x3FE0, 32, 0x2000, 256, 0, 2500, 5000, 2500, 5000},
    {"PIC16LF1825", 0x2860, 0x3FE0, 32, 0x2000, 256, 0, 2500, 5000, 2500, 5000},
    {"PIC12F629", 0x0F80, 0x3FE0, 0, 0x0400, 128, 1, 2500, 6000, 2500, 8000},
    {"PIC12F675", 0x0FC0, 0x3FE0, 0, 0x0400, 128, 1, 2500, 6000, 2500, 8000},
    {"PIC16F630", 0x10C0, 0x3FE0, 0, 0x0400, 128, 1, 2500, 6000, 2500, 8000},
    {"PIC16F676", 0x10E0, 0x3FE0, 0, 0x0400, 128, 1, 2500, 6000, 2500, 8000},
};

constexpr uint16_t ERASED = 0x3FFF;
constexpr uint16_t CONFIG_CP_OFF = 0x80;
constexpr int CONFIG_BASE = 0x8000;
constexpr int EEPROM_BASE = 0xF000;
// PIC12F629 family: factory oscillator calibration (a RETLW at the top of
// flash) and the band-gap calibration bits BG1:BG0 in configuration word 1.
constexpr int T1_OSCCAL_ADDRESS = 0x3FF;
constexpr uint16_t T1_OSCCAL_FACTORY = 0x3454;
constexpr uint16_t T1_BG_BITS = 0x3000;
constexpr uint16_t T1_BG_FACTORY = 0x2000;  // BG1 set, BG0 clear
constexpr uint16_t T1_CONFIG_IMPLEMENTED = 0x31FF;

bool same_name(const std::string& a, const char* b) {
    std::string bs(b);
    if (a.size() != bs.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != bs[i]) return false;
    return true;
}

}  // namespace

const std::vector<PartInfo>& part_list() { return kParts; }

const PartInfo* part_find(const std::string& name) {
    for (const PartInfo& p : kParts)
        if (same_name(name, p.name)) return &p;
    return nullptr;
}

int part_default_id(const PartInfo& part) {
    return (part.mask & 0x1F) ? part.hardware_id : part.hardware_id + 3;
}

Chip::Chip(const PartInfo& part, int device_id)
    : part_(part),
      flash_(static_cast<size_t>(part.flash_size), ERASED),
      eeprom_(static_cast<size_t>(part.eeprom_size), 0xFF) {
    config_.fill(ERASED);
    int id = device_id >= 0 ? device_id : part_default_id(part);
    config_[6] = static_cast<uint16_t>(id);
    if (part_.type == 1) {
        flash_[T1_OSCCAL_ADDRESS % flash_.size()] = T1_OSCCAL_FACTORY;
        config_[7] = static_cast<uint16_t>((ERASED & ~T1_BG_BITS) | T1_BG_FACTORY);
    } else {
        config_[5] = static_cast<uint16_t>(id & 0x1F);  // revision
    }
}

int Chip::flash_index(int address) const {
    // Address bits above the implemented flash are not decoded: the array repeats.
    return (address & 0x7FFF) % part_.flash_size;
}

int Chip::eeprom_index(int address) const {
    return part_.eeprom_size ? (address & 0x7FFF) % part_.eeprom_size : -1;
}

uint16_t Chip::peek(int address) const {
    address &= 0xFFFF;
    if (address < CONFIG_BASE) return flash_[static_cast<size_t>(flash_index(address))];
    if (address < EEPROM_BASE) {
        int i = address - CONFIG_BASE;
        if (i >= static_cast<int>(config_.size())) return ERASED;
        if (part_.type == 1) {
            // Only user IDs, device ID and one configuration word exist.
            if (i == 7) return config_[7] & T1_CONFIG_IMPLEMENTED;
            if (i > 3 && i != 6) return ERASED;
        }
        return config_[static_cast<size_t>(i)];
    }
    int e = eeprom_index(address - EEPROM_BASE);
    return e < 0 ? 0xFF : eeprom_[static_cast<size_t>(e)];
}

void Chip::poke(int address, uint16_t value) {
    address &= 0xFFFF;
    if (address < CONFIG_BASE) {
        flash_[static_cast<size_t>(flash_index(address))] = value & ERASED;
    } else if (address < EEPROM_BASE) {
        int i = address - CONFIG_BASE;
        if (i < static_cast<int>(config_.size())) config_[static_cast<size_t>(i)] = value & ERASED;
    } else {
        int e = eeprom_index(address - EEPROM_BASE);
        if (e >= 0) eeprom_[static_cast<size_t>(e)] = static_cast<uint8_t>(value);
    }
}

// VPP on: the chip enters programming mode with its counter at 0 and its
// latches cleared.
void Chip::enter_programming() {
    programming_ = true;
    counter_ = 0;
    loaded_ = 0;
    data_loaded_ = false;
    last_load_data_ = false;
}

void Chip::leave_programming() {
    programming_ = false;
    counter_ = 0;
    loaded_ = 0;
    data_loaded_ = false;
}

// The PIC12F629 family has no Reset Address command; it ignores the code.
void Chip::reset_address() {
    if (!programming_ || part_.type == 1) return;
    counter_ = 0;
}

void Chip::load_config() {
    if (!programming_) return;
    counter_ = CONFIG_BASE;
}

void Chip::increment() {
    if (!programming_) return;
    int space = counter_ & CONFIG_BASE;
    counter_ = space | ((counter_ + 1) & 0x7FFF);
}

void Chip::load_program(uint16_t word) {
    if (!programming_) return;
    int slot = part_.row_size > 0 ? counter_ % part_.row_size : 0;
    latch_[static_cast<size_t>(slot)] = word & ERASED;
    loaded_ |= 1u << slot;
    last_load_data_ = false;
}

void Chip::load_data(uint8_t byte) {
    if (!programming_) return;
    data_latch_ = byte;
    data_loaded_ = true;
    last_load_data_ = true;
}

// Code protection (configuration word 1 bit 7 clear) makes program memory
// read back as zeros; configuration space stays readable.
uint16_t Chip::read_program() const {
    if (!programming_) return 0;
    if (counter_ < CONFIG_BASE && !(config_[7] & CONFIG_CP_OFF)) return 0;
    return peek(counter_);
}

uint16_t Chip::read_data() const {
    if (!programming_) return 0;
    int e = eeprom_index(counter_);
    return e < 0 ? 0 : eeprom_[static_cast<size_t>(e)];
}

// Begin Programming writes whatever the last Load command targeted: the data
// EEPROM byte, one configuration word, one type-1 flash word, or the row
// latches of a row-latch part. The latches are cleared for the next row.
TimedOp Chip::begin_programming() {
    TimedOp op;
    if (!programming_) return op;
    op.counter = counter_;
    if (last_load_data_) {
        if (data_loaded_) {
            op.kind = TimedOp::PROGRAM_DATA;
            op.data = data_latch_;
            op.required_us = part_.data_us;
        }
        data_loaded_ = false;
        return op;
    }
    op.latch = latch_;
    op.loaded = loaded_;
    loaded_ = 0;
    latch_.fill(ERASED);
    if (counter_ >= CONFIG_BASE) {
        op.kind = TimedOp::PROGRAM_WORD;
        op.required_us = part_.data_us;
    } else {
        op.kind = part_.row_size > 0 ? TimedOp::PROGRAM_ROW : TimedOp::PROGRAM_WORD;
        op.required_us = part_.program_us;
    }
    if (op.loaded == 0) op.kind = TimedOp::NONE;
    return op;
}

// An erase starts when the chip is in programming mode and has that command;
// otherwise nothing happens.
TimedOp Chip::erase(TimedOp::Kind kind, bool available, int required_us) const {
    TimedOp op;
    if (!programming_ || !available) return op;
    op.kind = kind;
    op.counter = counter_;
    op.required_us = required_us;
    return op;
}

// Type 1 parts have no row erase.
TimedOp Chip::row_erase() { return erase(TimedOp::ROW_ERASE, part_.row_size != 0, part_.row_erase_us); }

TimedOp Chip::bulk_erase_program() { return erase(TimedOp::BULK_PROGRAM, true, part_.bulk_us); }

TimedOp Chip::bulk_erase_data() {
    return erase(TimedOp::BULK_DATA, part_.eeprom_size != 0, part_.bulk_us);
}

bool Chip::config_writable(int address) const {
    int i = address - CONFIG_BASE;
    if (i >= 0 && i <= 3) return true;  // user IDs
    if (i == 7) return true;
    return i == 8 && part_.type != 1;
}

void Chip::program_config(int address, uint16_t word) {
    if (!config_writable(address)) return;  // revision, device ID: read-only
    config_[static_cast<size_t>(address - CONFIG_BASE)] &= word;
}

void Chip::commit(const TimedOp& op) {
    switch (op.kind) {
    case TimedOp::NONE:
        break;
    case TimedOp::PROGRAM_ROW: {
        int base = op.counter - op.counter % part_.row_size;
        for (int i = 0; i < part_.row_size; ++i)
            if (op.loaded & (1u << i))
                flash_[static_cast<size_t>(flash_index(base + i))] &= op.latch[static_cast<size_t>(i)];
        break;
    }
    case TimedOp::PROGRAM_WORD: {
        int slot = part_.row_size > 0 ? op.counter % part_.row_size : 0;
        if (!(op.loaded & (1u << slot))) break;
        uint16_t word = op.latch[static_cast<size_t>(slot)];
        if (op.counter >= CONFIG_BASE)
            program_config(op.counter, word);
        else
            flash_[static_cast<size_t>(flash_index(op.counter))] &= word;
        break;
    }
    case TimedOp::PROGRAM_DATA: {
        int e = eeprom_index(op.counter);
        if (e >= 0) eeprom_[static_cast<size_t>(e)] = op.data;  // erase-then-write cycle
        break;
    }
    case TimedOp::ROW_ERASE:
        if (op.counter >= CONFIG_BASE) {
            std::fill(config_.begin(), config_.begin() + 4, ERASED);
        } else {
            int base = op.counter - op.counter % part_.row_size;
            for (int i = 0; i < part_.row_size; ++i) flash_[static_cast<size_t>(flash_index(base + i))] = ERASED;
        }
        break;
    case TimedOp::BULK_PROGRAM:
        std::fill(flash_.begin(), flash_.end(), ERASED);
        if (op.counter >= CONFIG_BASE) {
            std::fill(config_.begin(), config_.begin() + 4, ERASED);
            config_[7] = ERASED;  // type 1: the band-gap bits are lost too
            if (part_.type != 1) config_[8] = ERASED;
        }
        break;
    case TimedOp::BULK_DATA:
        std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
        break;
    }
}

}  // namespace sim
