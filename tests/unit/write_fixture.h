// Shared set-up for the tests of the programming operations: a fresh emulated
// chip behind an open port, identified through the default device database in
// a private directory, and every process-wide record at its start value.
#pragma once
#include <map>

#include "chip_fixture.h"

namespace opstest {

// Directory of the example programs, found from this file's place in the tree.
inline std::string examples_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/unit/")) + "/examples";
}

// What a HEX file says each word should hold, read independently of the
// product's reader: data and extended linear address records only, word
// addresses in the image's map (type-1 files moved from 0x2000/0x2100).
inline std::map<int, uint16_t> hex_words(const std::string& path, bool type1) {
    std::ifstream in(path);
    std::map<int, uint16_t> words;
    std::map<long, int> bytes;
    std::string line;
    long upper = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != ':') continue;
        auto byte = [&](size_t i) { return std::stoi(line.substr(1 + 2 * i, 2), nullptr, 16); };
        int n = byte(0), type = byte(3);
        long addr = upper + byte(1) * 256 + byte(2);
        if (type == 4) upper = static_cast<long>(byte(4) * 256 + byte(5)) << 16;
        if (type != 0) continue;
        for (int k = 0; k < n; ++k) bytes[addr + k] = byte(4 + k);
    }
    for (auto [a, b] : bytes) {
        long w = a / 2;
        if (type1 && w >= 0x2100) w = w - 0x2100 + 0xF000;
        else if (type1 && w >= 0x2000) w = w - 0x2000 + 0x8000;
        uint16_t& cell = words.try_emplace(static_cast<int>(w), 0x3FFF).first->second;
        if (a % 2 == 0) cell = static_cast<uint16_t>((cell & 0x3F00) | b);
        else cell = static_cast<uint16_t>((cell & 0x00FF) | ((b & 0x3F) << 8));
    }
    return words;
}

// As the run does it: the write sequence, then the failure it noted printed
// as a line. Returns what was printed.
inline std::string written_and_reported(bool (*operation)()) {
    testing::internal::CaptureStdout();
    if (!operation()) std::puts(run_result.failure != nullptr ? run_result.failure : "(no message)");
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

using OpsTest = chiptest::ChipTest;
using chiptest::part;
using chiptest::reset_records;

}  // namespace opstest
