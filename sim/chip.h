// Target chip models behind the emulated programmer: the ICSP command set of the
// PIC12F1840/PIC16F1xxx row-latch parts and of the older PIC12F629 family, with
// flash that only programs bits from 1 to 0, internally timed operations that
// need their full time, and the factory data a bulk erase destroys.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "devicedb/part.h"
#include "sim/sim.h"

namespace sim {

// The parts come from picup's own part table (one table, no second copy); how
// each family's chip behaves is modelled here from its programming algorithm.
using PartInfo = ::Part;

// Case-insensitive look-up; nullptr when the name is unknown.
const PartInfo* part_find(const std::string& name);
std::vector<const PartInfo*> part_list();
// The ID a factory chip reports: the hardware ID plus revision bits where the
// part's mask leaves the low bits free.
int part_default_id(const PartInfo& part);

// An internally timed operation started on the chip, carried out only when the
// programmer lets it run for `required_us` before the next ICSP command.
struct TimedOp {
    enum Kind { NONE, PROGRAM_ROW, PROGRAM_WORD, PROGRAM_DATA, ROW_ERASE, BULK_PROGRAM, BULK_DATA };
    Kind kind = NONE;
    int counter = 0;  // address counter when the command was given
    std::array<uint16_t, 32> latch{};
    uint32_t loaded = 0;  // bit i: latch i was loaded
    uint8_t data = 0xFF;
    int required_us = 0;
};

class Chip : public Target {
public:
    Chip(const PartInfo& part, int device_id);
    uint16_t peek(int address) const override;
    void poke(int address, uint16_t value) override;
    int flash_size() const override { return part_.flash_size; }
    int eeprom_size() const override { return part_.eeprom_size; }
    std::string part() const override { return part_.name; }
    const PartInfo& info() const { return part_; }

    // ICSP commands. enter/leave are VPP on and off.
    void enter_programming();
    void leave_programming();
    bool programming() const { return programming_; }
    int counter() const { return counter_; }
    void reset_address();
    void load_config();
    void increment();
    void load_program(uint16_t word);
    void load_data(uint8_t byte);
    uint16_t read_program() const;
    uint16_t read_data() const;
    TimedOp begin_programming();
    TimedOp row_erase();
    TimedOp bulk_erase_program();
    TimedOp bulk_erase_data();
    void commit(const TimedOp& op);
    // VPP applied at `tenths` of a volt (the last voltage frame when VPP went
    // on, or one that came while it was on).
    void apply_vpp(int tenths);
    // What the host did that the part's programming algorithm forbids, one
    // line each, in the order first seen.
    const std::vector<std::string>& faults() const { return faults_; }

private:
    // What the family's programming algorithm gives this chip.
    bool has_reset_address() const;
    bool word_programming() const;  // no row latches: a cycle writes one word
    bool keeps_factory_calibration_in_flash() const;
    int latches() const;
    TimedOp erase(TimedOp::Kind kind, bool available, int required_us) const;
    int flash_index(int address) const;
    int eeprom_index(int address) const;
    bool config_writable(int address) const;
    void program_config(int address, uint16_t word);
    bool is_calibration(int address) const;
    void note_fault(const std::string& text);

    PartInfo part_;
    std::vector<uint16_t> flash_;
    std::vector<uint8_t> eeprom_;
    std::array<uint16_t, 32> config_{};  // 0x8000..0x801F
    bool programming_ = false;
    int counter_ = 0;  // picup's map: 0x0000.. program, 0x8000.. configuration
    std::array<uint16_t, 32> latch_{};
    uint32_t loaded_ = 0;
    uint8_t data_latch_ = 0xFF;
    bool data_loaded_ = false;
    bool last_load_data_ = false;
    std::vector<std::string> faults_;
};

}  // namespace sim
