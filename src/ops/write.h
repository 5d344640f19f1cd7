// The write sequence: type-1 preservation, bulk erase, program flash, data
// EEPROM, user ID and configuration words, each verified, then "\nOk!".
#pragma once

void write_target();
