// In-process emulated programmer for tests: this library provides the port_*
// functions of src/serial/port.h and the sleeps and clocks of
// src/platform/platform.h over a virtual clock, so the product's layers run
// against the emulator fast and deterministically, without a pseudo-terminal.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/sim.h"

namespace inproc {

// Fresh emulator built from `config`, virtual time 0, port closed, traces empty.
// port_open/port_open_path then succeed for any number 1..99 / any path.
void reset(const sim::Config& config = sim::Config());
sim::Programmer& programmer();
sim::Target& target();
// Every byte the host wrote since reset or clear_trace, in order, and each
// port_write / port_write_byte call as one chunk.
const std::vector<uint8_t>& host_bytes();
const std::vector<std::vector<uint8_t>>& host_writes();
void clear_trace();
// The next port write takes only `taken` bytes, as a write cut short by Ctrl+C
// while the driver's queue is full; port_unfinished_write then reports it.
void cut_next_write(int taken);
double now_us();
// Sleeps and waits for input the product made since reset or clear_trace.
long waits();
// When the byte the product read last arrived on the line (virtual time).
double last_byte_due_us();

}  // namespace inproc
