// The older mid-range flash chips (PIC12F6xx/PIC16F6xx with row latches,
// PIC16F91x, PIC16F88x, PIC16F62xA, PIC16F84A, PIC12F609/615/617 and
// PIC16F610/616, PIC16F87/88/818/819, PIC16F87xA) behind the emulated
// programmer. Each family's command set, what each command does to which
// memory, the times it needs and the VPP range it enters programming mode
// in come from that family's programming algorithm; what a host does that
// the chip would not take (a command it lacks, a cycle cut short, an erase
// that reaches the calibration words, externally timed programming never
// ended, VPP outside the part's range) is recorded as a fault.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/chip.h"

namespace sim {

class MidrangeChip : public Target {
public:
    // Whether this model (rather than Chip) emulates the part.
    static bool models(const PartInfo& part);

    MidrangeChip(const PartInfo& part, int device_id);
    uint16_t peek(int address) const override;
    void poke(int address, uint16_t value) override;
    int flash_size() const override { return part_.flash_size; }
    int eeprom_size() const override { return part_.eeprom_size; }
    std::string part() const override { return part_.name; }

    // The programmer's VPP: on at a voltage (1/10 V), a new voltage while
    // on, off.
    void vpp_on(int tenths);
    void vpp_changed(int tenths);
    // VPP off `since_us` after the last command: an internally timed cycle
    // that had its time completes first.
    void vpp_off(double since_us);
    // One ICSP command (its six-bit number) with its data word, `since_us`
    // after the command before it.
    void command(int icsp, int arg, double since_us);
    // Reads for the programmer's read reply; a repeated read increments
    // between words.
    uint16_t read_program() const;
    uint16_t read_data() const;
    void increment();

    const std::vector<std::string>& faults() const { return faults_; }
    uint64_t lost() const { return lost_; }

private:
    enum class Op { NONE, PROGRAM, ERASE_PROGRAM, PROGRAM_DATA, ROW_ERASE, BULK_PROGRAM, BULK_DATA,
                    CHIP_ERASE };
    struct Pending {
        Op op = Op::NONE;
        bool external = false;  // runs until End Programming
        int counter = 0;
        int required_us = 0;
        bool data = false;      // the last load was a data EEPROM byte
    };

    int family() const { return part_.type_code; }
    bool has(int icsp) const;
    int latches() const;
    bool protected_program() const;
    void fault(const std::string& text);
    void settle(int icsp, double since_us);
    void start(Op op, bool external, int required_us);
    void commit(const Pending& p);
    void program_block(const Pending& p, bool erase_first);
    void program_config_word(int address, uint16_t word, bool erase_first);
    void bulk_program(int counter, bool with_config);
    bool config_writable(int address) const;
    bool is_calibration(int address) const;
    int flash_index(int address) const;

    PartInfo part_;
    std::vector<uint16_t> flash_;
    std::vector<uint8_t> eeprom_;
    std::array<uint16_t, 32> config_{};  // 0x8000..0x801F
    bool powered_ = false;      // VPP on
    bool programming_ = false;  // VPP on and inside the part's range
    int counter_ = 0;
    std::array<uint16_t, 8> latch_{};
    uint8_t data_latch_ = 0xFF;
    bool last_load_data_ = false;
    bool loaded_ones_ = false;  // the last command was Load Data PM of 0x3FFF
    int armed_erase_ = 0;       // 0x09 or 0x0B waiting for 0x08 to run it
    Pending pending_;
    std::vector<std::string> faults_;
    uint64_t lost_ = 0;
};

}  // namespace sim
