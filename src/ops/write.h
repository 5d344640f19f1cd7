// The write sequence: type-1 preservation, bulk erase, program flash, data
// EEPROM, user ID and configuration words, each verified, then "\nOk!".
// A failure is noted in the run result (its console message included, not yet
// printed) and the sequence returns false.
#pragma once

struct WritePlan;

bool write_plan(const WritePlan& plan);
// The plan of the run's write flags, carried out.
bool write_target();
// The four user ID words from the image, each read back; the user ID row is
// erased first when `row_erase` (no bulk erase came before).
bool write_user_id_words(bool row_erase);
