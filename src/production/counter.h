// /SERIAL=<address>,<first>[,<step>[,<bytes>]]: every chip gets the next
// number of a counter kept in <base>.serial beside the settings. The number is
// taken and the counter advanced under a lock on <base>.serial.lock, and the
// counter file is replaced in one step, so runs side by side (the children of
// a gang, or separate processes) never hand out a number twice. A number that
// was taken is gone, whether its chip then passes or fails.
#pragma once
#include <cstdint>

// The option's parameter; a malformed one ends the run with a message.
void serial_option(const char* parameter);
// Refuses /SERIAL= where it cannot apply (with /VERIFY, which writes nothing).
void serial_check_options(bool verify);
// After the image is complete and before the write: checks that the number
// fits the connected chip, takes the next number and writes it into the
// image. Does nothing without /SERIAL= or for a chip the database does not
// know (nothing is written to it).
void serial_assign();
// Takes the next number: max(counter, first), then stores it + step. Returns
// 1 with the number, 0 with `*failure` set when no number could be taken.
int counter_take(const char* path, uint32_t first, uint32_t step, uint32_t limit,
                 uint32_t* number, const char** failure);
