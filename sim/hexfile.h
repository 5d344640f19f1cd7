// Target memory to and from files: Intel HEX in picup's own address map (byte
// address = 2 x word address, words low byte first, EEPROM cells carrying their
// byte in the low byte) and a plain text state file with every cell.
#pragma once
#include <map>
#include <string>

#include "sim/sim.h"

namespace sim {

using Cells = std::map<int, uint16_t>;  // word address -> value

// Every cell of the target: flash, configuration space 0x8000..0x801F, EEPROM.
Cells memory_snapshot(const Target& target);
// Only the cells that differ from the erased state (0x3FFF, EEPROM 0xFF).
Cells memory_programmed(const Target& target);
void memory_apply(Target& target, const Cells& cells);

// Empty error on success.
std::string hex_read(const std::string& path, Cells& cells);
std::string hex_write(const std::string& path, const Cells& cells);
// The state file names its part; reading it for another part is an error,
// since the memory layouts differ.
std::string state_read(const std::string& path, const std::string& part, Cells& cells);
std::string state_write(const std::string& path, const std::string& part, const Cells& cells);

}  // namespace sim
