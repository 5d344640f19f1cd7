// Shared set-up for the tests of the programming operations: a fresh emulated
// chip behind an open port, identified through the default device database in
// a private directory, and every process-wide record at its start value.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"
#include "protocol/detect.h"
#include "protocol/link.h"
#include "protocol/prog.h"
#include "run/options.h"
#include "serial/port.h"
#include "sim/inproc.h"

namespace opstest {

inline sim::Config part(const char* name) {
    sim::Config c;
    c.part = name;
    return c;
}

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

class OpsTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/picup_ops_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::snprintf(program_base_path, sizeof program_base_path, "%s/picup", dir.c_str());
        std::snprintf(program_stem, sizeof program_stem, "picup");
        reset_records();
    }

    void TearDown() override {
        reset_records();
        std::string cmd = "rm -rf '" + dir + "'";
        (void)std::system(cmd.c_str());
    }

    static void reset_records() {
        link_state = LinkState{};
        address_cursor = 0;
        device = DeviceRecord{};
        device_db_set_defaults();
        target_info = TargetInfo{};
        std::strcpy(target_info.device_name, "(unknown)");
        settings = Settings{};
        image_init();
    }

    // Fresh chip, port open, target identified; the trace then holds only what
    // the test's own operation sends.
    void connect(const sim::Config& config) {
        inproc::reset(config);
        ASSERT_EQ(port_open(1, 115200), 1);
        testing::internal::CaptureStdout();
        connect_target();
        link_flush();
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        inproc::clear_trace();
    }

    sim::Target& chip() { return inproc::target(); }

    // As the run does it: load the file into the image and add the result.
    void load_hex(const std::string& path) {
        std::FILE* f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr) << path;
        int r = hex_load(f, image, device.flash_size);
        std::fclose(f);
        ASSERT_GE(r, 0);
        write_flags |= r;
    }

    // Runs an operation and returns what it printed.
    template <typename F>
    std::string output_of(F operation) {
        testing::internal::CaptureStdout();
        operation();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

}  // namespace opstest
