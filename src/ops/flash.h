// Program flash writer (row mode or word mode) and its verify pass.
#pragma once

void write_program_flash();
