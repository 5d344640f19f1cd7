// Shared set-up for tests that run the product's layers against the in-process
// emulated programmer: a private directory for the .dat/.log files, every
// process-wide record at its start value, a fresh emulated chip behind an open
// port, and helpers to look at the bytes sent and the text printed.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"
#include "ops/result.h"
#include "protocol/detect.h"
#include "protocol/link.h"
#include "protocol/prog.h"
#include "protocol/protocol.h"
#include "cli/options.h"
#include "serial/port.h"
#include "sim/inproc.h"

namespace chiptest {

using Bytes = std::vector<uint8_t>;

inline sim::Config part(const char* name) {
    sim::Config c;
    c.part = name;
    return c;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string hex(const Bytes& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

// Every process-wide record back to its start value.
inline void reset_records() {
    if (link_state.log_file != nullptr) std::fclose(link_state.log_file);
    link_state = LinkState{};
    address_cursor = 0;
    device = Part{};
    device_db_set_defaults();
    target_info = TargetInfo{};
    std::strcpy(target_info.device_name, "(unknown)");
    settings = Settings{};
    image_init();
    result_reset();
}

class ChipTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/picup_test_XXXXXX";
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

    std::string path(const char* name) const { return dir + "/" + name; }
    sim::Target& chip() { return inproc::target(); }

    // A fresh emulator with the port open; nothing sent yet.
    void start(const sim::Config& config) {
        inproc::reset(config);
        ASSERT_EQ(port_open(1, 115200), 1);
    }

    // Emulator started, target identified (what that prints is dropped), its
    // last frame sent, and the trace cleared so a test sees only its own traffic.
    void connect(const sim::Config& config = sim::Config()) {
        start(config);
        testing::internal::CaptureStdout();
        connect_target();
        link_flush();
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        inproc::clear_trace();
    }

    void open_log() {
        link_state.log_file = std::fopen(path("picup.log").c_str(), "w");
        ASSERT_NE(link_state.log_file, nullptr);
        link_state.log_on = true;
    }

    std::string closed_log() {
        log_end();
        return read_file(path("picup.log"));
    }

    // Sends whatever is queued and returns every byte written since the trace
    // was last cleared.
    Bytes sent() {
        link_flush();
        return inproc::host_bytes();
    }

    // As the run does it: load the file into the image and add the result.
    void load_hex(const std::string& file) {
        std::FILE* f = std::fopen(file.c_str(), "r");
        ASSERT_NE(f, nullptr) << file;
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

}  // namespace chiptest
