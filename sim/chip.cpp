// Target chip models: memory arrays, the address counter, the programming
// latches and the effect of each ICSP command.
#include "sim/chip.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

constexpr uint16_t CONFIG_CP_OFF = 0x80;
// PIC12F629 family: factory oscillator calibration (a RETLW at the part's
// OSCCAL address, the top of flash) and the band-gap calibration bits BG1:BG0
// in configuration word 1, both lost to a bulk erase.
constexpr uint16_t T1_OSCCAL_FACTORY = 0x3454;
constexpr uint16_t T1_BG_BITS = 0x3000;
constexpr uint16_t T1_BG_FACTORY = 0x2000;  // BG1 set, BG0 clear
constexpr uint16_t T1_CONFIG_IMPLEMENTED = 0x31FF;
// Enhanced parts: factory calibration words after the configuration words.
constexpr uint16_t CALIBRATION_FACTORY = 0x1A5C;
// Enhanced parts with a full 14-bit device ID: the revision word at 0x8005
// (bits 13:12 = 10, major revision in bits 11:6, minor in bits 5:0).
constexpr uint16_t REVISION_WORD_FACTORY = 0x2043;
// The highest address at which the enhanced parts' Bulk Erase Program Memory
// may be issued; above it the calibration words are not safe.
constexpr int BULK_ERASE_LIMIT = 0x8008;
constexpr size_t MAX_FAULTS = 32;

bool same_name(const std::string& a, const char* b) {
    std::string bs(b);
    if (a.size() != bs.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(bs[i])))
            return false;
    return true;
}

}  // namespace

std::vector<const PartInfo*> part_list() {
    std::vector<const PartInfo*> parts;
    for (int i = 0; i < PART_COUNT; ++i) parts.push_back(&PART_TABLE[i]);
    return parts;
}

const PartInfo* part_find(const std::string& name) {
    for (int i = 0; i < PART_COUNT; ++i)
        if (same_name(name, PART_TABLE[i].name)) return &PART_TABLE[i];
    return nullptr;
}

int part_default_id(const PartInfo& part) {
    return (part.id_mask & 0x1F) ? part.device_id : part.device_id + 3;
}

bool Chip::has_reset_address() const { return part_.type_code != FAMILY_CALIBRATED; }

bool Chip::keeps_factory_calibration_in_flash() const { return part_.type_code == FAMILY_CALIBRATED; }

int Chip::latches() const {
    int n = part_.write_latches > 0 ? part_.write_latches : 1;
    return n > 32 ? 32 : n;
}

bool Chip::word_programming() const { return latches() == 1; }

Chip::Chip(const PartInfo& part, int device_id)
    : part_(part),
      flash_(static_cast<size_t>(part.flash_size), ERASED),
      eeprom_(static_cast<size_t>(part.eeprom_size), 0xFF) {
    config_.fill(ERASED);
    int id = device_id >= 0 ? device_id : part_default_id(part);
    config_[6] = static_cast<uint16_t>(id);
    if (keeps_factory_calibration_in_flash()) {
        flash_[static_cast<size_t>(part_.osccal_address) % flash_.size()] = T1_OSCCAL_FACTORY;
        config_[CONFIG1] = static_cast<uint16_t>((ERASED & ~T1_BG_BITS) | T1_BG_FACTORY);
    } else if (part_revision_in_word(part_)) {
        config_[5] = REVISION_WORD_FACTORY;
    } else {
        config_[5] = static_cast<uint16_t>(id & 0x1F);  // revision
    }
    for (int i = 0; i < part_.calibration_count; ++i) {
        size_t c = static_cast<size_t>(part_.calibration_first - CONFIG_BASE + i);
        if (c < config_.size()) config_[c] = static_cast<uint16_t>(CALIBRATION_FACTORY + i);
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
        if (keeps_factory_calibration_in_flash()) {
            // Only user IDs, device ID and one configuration word exist.
            if (i == CONFIG1) return config_[CONFIG1] & T1_CONFIG_IMPLEMENTED;
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
    if (!programming_ || !has_reset_address()) return;
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
    // The latches sit at the low address bits: loads wrap within the block.
    int slot = counter_ % latches();
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
            op.required_us = part_.data_time;
        }
        data_loaded_ = false;
        return op;
    }
    if (is_calibration(counter_) && loaded_ != 0) {
        char text[96];
        std::snprintf(text, sizeof text, "programming cycle at calibration word 0x%04X", counter_);
        note_fault(text);
    }
    op.latch = latch_;
    op.loaded = loaded_;
    loaded_ = 0;
    latch_.fill(ERASED);
    if (counter_ >= CONFIG_BASE) {
        op.kind = TimedOp::PROGRAM_WORD;
        op.required_us = part_.config_time;
    } else {
        op.kind = word_programming() ? TimedOp::PROGRAM_WORD : TimedOp::PROGRAM_ROW;
        op.required_us = part_.prog_time;
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

// Parts without erase rows have no row erase.
TimedOp Chip::row_erase() { return erase(TimedOp::ROW_ERASE, part_.row_size != 0, part_.row_erase_time); }

// The enhanced parts' Bulk Erase Program Memory must not be issued with the
// address above 0x8008: what it then erases is not specified, and the model
// takes the calibration words with it.
TimedOp Chip::bulk_erase_program() {
    if (programming_ && part_.type_code == FAMILY_ENHANCED && counter_ > BULK_ERASE_LIMIT) {
        char text[96];
        std::snprintf(text, sizeof text, "bulk erase with the address at 0x%04X, above 0x%04X", counter_,
                      BULK_ERASE_LIMIT);
        note_fault(text);
    }
    return erase(TimedOp::BULK_PROGRAM, true, part_.bulk_erase_time);
}

TimedOp Chip::bulk_erase_data() {
    return erase(TimedOp::BULK_DATA, part_.eeprom_size != 0, part_.bulk_erase_time);
}

bool Chip::config_writable(int address) const {
    int i = address - CONFIG_BASE;
    if (i >= 0 && i <= 3) return true;  // user IDs
    return i >= CONFIG1 && i < CONFIG1 + part_.config_words;
}

bool Chip::is_calibration(int address) const {
    return part_.calibration_count > 0 && address >= part_.calibration_first &&
           address < part_.calibration_first + part_.calibration_count;
}

void Chip::note_fault(const std::string& text) {
    if (faults_.size() >= MAX_FAULTS) return;
    if (std::find(faults_.begin(), faults_.end(), text) == faults_.end()) faults_.push_back(text);
}

void Chip::apply_vpp(int tenths) {
    if (part_.vpp_max <= 0 || tenths <= part_.vpp_max) return;
    char text[96];
    std::snprintf(text, sizeof text, "VPP %d.%d V above the part's %d.%d V maximum", tenths / 10, tenths % 10,
                  part_.vpp_max / 10, part_.vpp_max % 10);
    note_fault(text);
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
        // The cycle writes the latch block that holds the address.
        int base = op.counter - op.counter % latches();
        for (int i = 0; i < latches(); ++i)
            if (op.loaded & (1u << i))
                flash_[static_cast<size_t>(flash_index(base + i))] &= op.latch[static_cast<size_t>(i)];
        break;
    }
    case TimedOp::PROGRAM_WORD: {
        int slot = op.counter % latches();
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
        if (part_.type_code == FAMILY_ENHANCED && op.counter > BULK_ERASE_LIMIT) {
            for (int i = 0; i < part_.calibration_count; ++i) {
                size_t c = static_cast<size_t>(part_.calibration_first - CONFIG_BASE + i);
                if (c < config_.size()) config_[c] = ERASED;
            }
        }
        if (op.counter >= CONFIG_BASE) {
            std::fill(config_.begin(), config_.begin() + 4, ERASED);
            // The configuration words go too (on the PIC12F629 family with
            // the band-gap bits); calibration words above them do not.
            for (int i = 0; i < part_.config_words; ++i) config_[static_cast<size_t>(CONFIG1 + i)] = ERASED;
        }
        break;
    case TimedOp::BULK_DATA:
        std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
        break;
    }
}

}  // namespace sim
