// Production runs: the serial number option and where the number lands in the
// image, the counter file under concurrent takers, appends from several
// processes at once, reading values back out of a run record, and the names
// of a gang's per-port files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devicedb/devicedb.h"
#include "devicedb/family.h"
#include "image/image.h"
#include "ops/serialno.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "production/counter.h"
#include "production/gang.h"
#include "record/jsonscan.h"
#include "test_support.h"

namespace {

void standard_chip() {
    device = Part{};
    device.flash_size = 0x2000;
    device.row_size = 32;
    device.eeprom_size = 256;
    device.eeprom_base = ADDR_EEPROM;
}

TEST(SerialOption, FieldsDefaultsAndRefusals) {
    serial_request = SerialRequest{};
    serial_option("0x8000,100");
    EXPECT_TRUE(serial_request.on);
    EXPECT_EQ(serial_request.address, 0x8000);
    EXPECT_EQ(serial_request.first, 100u);
    EXPECT_EQ(serial_request.step, 1u);
    EXPECT_EQ(serial_request.bytes, 2);
    serial_option("0x1F0,0x10,5,3\n");  // a settings file line ends in its line end
    EXPECT_EQ(serial_request.address, 0x1F0);
    EXPECT_EQ(serial_request.first, 16u);
    EXPECT_EQ(serial_request.step, 5u);
    EXPECT_EQ(serial_request.bytes, 3);
    serial_option("0xF000,4294967295");
    EXPECT_EQ(serial_request.first, 0xFFFFFFFFu);

    const char* refused[] = {"",         "0x8000",     "0x8000,",      "0x8001,1",
                             "0x9000,1", "0x8000,1,0", "0x100,1,1,5",  "0x100,1,1,0",
                             "0x100,1g", "0x100,4294967296", "0x100,1,1,2,", "0x10000,1"};
    for (const char* text : refused) {
        auto got = native::run_child([text] { serial_option(text); });
        EXPECT_EQ(got.code, 1) << text;
        EXPECT_NE(got.out.find("/SERIAL= takes <address>,<first>"), std::string::npos) << text;
    }
}

TEST(SerialPlace, UserIdNibblesRetlwTableAndEepromBytes) {
    standard_chip();
    image_init();
    serial_request = SerialRequest{};
    serial_option("0x8000,1");
    EXPECT_EQ(serial_limit(), 0xFFFFu);
    serial_place(0xA5C3);
    // The highest nibble first: the user ID folded from the low nibbles reads A5C3.
    EXPECT_EQ(image[0x8000], 0xA);
    EXPECT_EQ(image[0x8001], 0x5);
    EXPECT_EQ(image[0x8002], 0xC);
    EXPECT_EQ(image[0x8003], 0x3);
    EXPECT_EQ(write_flags, WF_USER_ID);

    image_init();
    serial_option("0x1FE,1");
    EXPECT_EQ(serial_check_target(), nullptr);
    serial_place(0x1234);
    EXPECT_EQ(image[0x1FE], 0x3434);  // RETLW 0x34, the low byte first
    EXPECT_EQ(image[0x1FF], 0x3412);
    EXPECT_EQ(image[0x200], EMPTY_CELL);
    EXPECT_EQ(write_flags, WF_PROGRAM);

    image_init();
    serial_option("0xF0FD,1,1,3");
    EXPECT_EQ(serial_limit(), 0xFFFFFFu);
    serial_place(0x123456);
    EXPECT_EQ(image[0xF0FD], 0x56);
    EXPECT_EQ(image[0xF0FE], 0x34);
    EXPECT_EQ(image[0xF0FF], 0x12);
    EXPECT_EQ(write_flags, WF_EEPROM);

    serial_option("0xF0FE,1,1,3");  // the last byte would lie past the 256-byte EEPROM
    EXPECT_NE(serial_check_target(), nullptr);
    serial_option("0x1FFF,1");  // past the end of flash
    EXPECT_NE(serial_check_target(), nullptr);
    device.osccal_address = 0x3FF;
    serial_option("0x3FE,1");
    EXPECT_NE(serial_check_target(), nullptr);
}

TEST(SerialCounter, StartsAtFirstStepsAndNeverGoesBack) {
    std::string dir = native::make_temp_dir();
    std::string path = dir + "/picup.serial";
    uint32_t n = 0;
    const char* failure = nullptr;
    ASSERT_EQ(counter_take(path.c_str(), 100, 10, 0xFFFF, &n, &failure), 1);
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(native::read_file(path), "110\n");
    ASSERT_EQ(counter_take(path.c_str(), 100, 10, 0xFFFF, &n, &failure), 1);
    EXPECT_EQ(n, 110u);
    // A lower first number never takes the counter back; a higher one moves it on.
    ASSERT_EQ(counter_take(path.c_str(), 1, 1, 0xFFFF, &n, &failure), 1);
    EXPECT_EQ(n, 120u);
    ASSERT_EQ(counter_take(path.c_str(), 500, 1, 0xFFFF, &n, &failure), 1);
    EXPECT_EQ(n, 500u);
    // A number past the limit is not handed out, and the counter stays.
    EXPECT_EQ(counter_take(path.c_str(), 1, 1, 400, &n, &failure), 0);
    EXPECT_NE(std::strstr(failure, "ran out"), nullptr);
    EXPECT_EQ(native::read_file(path), "501\n");
    native::write_file(path, "12x\n");
    EXPECT_EQ(counter_take(path.c_str(), 1, 1, 0xFFFF, &n, &failure), 0);
    EXPECT_NE(std::strstr(failure, "damaged"), nullptr);
    EXPECT_FALSE(native::file_exists(path + ".tmp"));
}

// Four processes take 50 numbers each at once: 200 distinct numbers, and no
// gap, since none of them failed.
TEST(SerialCounter, ConcurrentTakersNeverShareANumber) {
    std::string dir = native::make_temp_dir();
    std::string path = dir + "/picup.serial";
    std::vector<int> pipes;
    std::vector<pid_t> pids;
    for (int p = 0; p < 4; ++p) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            for (int i = 0; i < 50; ++i) {
                uint32_t n = 0;
                const char* failure = nullptr;
                if (!counter_take(path.c_str(), 1000, 1, 0xFFFF, &n, &failure)) _exit(1);
                if (write(fds[1], &n, sizeof n) != sizeof n) _exit(1);
            }
            _exit(0);
        }
        close(fds[1]);
        pipes.push_back(fds[0]);
        pids.push_back(pid);
    }
    std::vector<uint32_t> numbers;
    for (int fd : pipes) {
        uint32_t n;
        while (read(fd, &n, sizeof n) == sizeof n) numbers.push_back(n);
        close(fd);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(numbers.size(), 200u);
    std::sort(numbers.begin(), numbers.end());
    for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], 1000 + i);
    EXPECT_EQ(native::read_file(path), "1200\n");
}

// Lines far longer than a pipe's atomic size, appended by several processes
// at once under the stream lock, each arrive whole.
TEST(LockedAppend, ConcurrentLinesStayWhole) {
    std::string dir = native::make_temp_dir();
    std::string path = dir + "/history.jsonl";
    std::vector<pid_t> pids;
    for (int p = 0; p < 4; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 25; ++i) {
                std::string line = std::to_string(p) + ":" + std::to_string(i) + ":" +
                                   std::string(6000, static_cast<char>('a' + p)) + "\n";
                // The line leaves in many writes, and only the lock keeps
                // the other writers out between them.
                std::FILE* f = std::fopen(path.c_str(), "a");
                static char buffer[512];
                if (f == nullptr || std::setvbuf(f, buffer, _IOFBF, sizeof buffer) != 0) _exit(1);
                if (!platform_lock_stream(f)) _exit(1);
                for (std::size_t at = 0; at < line.size(); at += 200) {
                    std::fputs(line.substr(at, 200).c_str(), f);
                    std::fflush(f);
                }
                if (!platform_commit_file(f)) _exit(1);
                platform_unlock_stream(f);
                std::fclose(f);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream in(native::read_file(path));
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        ASSERT_GE(line.size(), 6004u);
        char fill = static_cast<char>('a' + (line[0] - '0'));
        EXPECT_EQ(line.substr(line.size() - 6000), std::string(6000, fill));
        seen.insert(line.substr(0, line.size() - 6000));
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(JsonLookup, ValuesNestedKeysEscapesAndBrokenText) {
    const char* record =
        "{\n  \"schema\": \"picup-run/1\", \"duration_s\": 1.250,\n"
        "  \"command\": [\"picup\", \"/GANG=a,b\", {\"x\": [1, {\"y\": null}]}],\n"
        "  \"target\": {\"name\": \"PIC16F1825\", \"device_id\": 10083, \"user_id_words\": null},\n"
        "  \"result\": \"failed\", \"message\": \"Verify \\\"x\\\" \\u00e9\\n\", \"ok\": true\n}\n";
    char out[64];
    EXPECT_EQ(json_lookup(record, "result", out, sizeof out), JSON_STRING);
    EXPECT_STREQ(out, "failed");
    EXPECT_EQ(json_lookup(record, "message", out, sizeof out), JSON_STRING);
    EXPECT_STREQ(out, "Verify \"x\" \xC3\xA9\n");
    EXPECT_EQ(json_lookup(record, "target.name", out, sizeof out), JSON_STRING);
    EXPECT_STREQ(out, "PIC16F1825");
    EXPECT_EQ(json_lookup(record, "target.device_id", out, sizeof out), JSON_NUMBER);
    EXPECT_STREQ(out, "10083");
    EXPECT_EQ(json_lookup(record, "duration_s", out, sizeof out), JSON_NUMBER);
    EXPECT_STREQ(out, "1.250");
    EXPECT_EQ(json_lookup(record, "target.user_id_words", out, sizeof out), JSON_NULL);
    EXPECT_EQ(json_lookup(record, "ok", out, sizeof out), JSON_OTHER);
    EXPECT_EQ(json_lookup(record, "name", out, sizeof out), JSON_MISSING);  // only in target
    EXPECT_EQ(json_lookup(record, "target.name.x", out, sizeof out), JSON_MISSING);
    char small[5];
    EXPECT_EQ(json_lookup(record, "target.name", small, sizeof small), JSON_STRING);
    EXPECT_STREQ(small, "PIC1");
    // A record cut off (the writer died) or not a record at all.
    std::string cut(record, std::strstr(record, "\"result\"") - record + 12);
    EXPECT_EQ(json_lookup(cut.c_str(), "result", out, sizeof out), JSON_MISSING);
    EXPECT_EQ(json_lookup("", "result", out, sizeof out), JSON_MISSING);
    EXPECT_EQ(json_lookup("[1]", "result", out, sizeof out), JSON_MISSING);
    EXPECT_EQ(json_lookup("{\"a\": [[[[", "result", out, sizeof out), JSON_MISSING);
}

TEST(GangFiles, PortTagsAndPerPortNames) {
    char tag[48];
    struct TagCase {
        const char* port;
        const char* tag;
    } tags[] = {{"/dev/ttyUSB0", "ttyUSB0"}, {"COM3", "COM3"},      {"com12", "COM12"},
                {"7", "COM7"},               {"\\\\.\\COM15", "COM15"}, {"/dev/serial/by-id/usb-FTDI:1", "usb-FTDI_1"},
                {"pts/", "pts_"}};
    for (const TagCase& c : tags) {
        gang_port_tag(c.port, tag, sizeof tag);
        EXPECT_STREQ(tag, c.tag) << c.port;
    }
    char out[64];
    struct FileCase {
        const char* path;
        bool slash;
        const char* out;
    } files[] = {{"run.json", true, "run-ttyUSB0.json"},
                 {"out.d/run", true, "out.d/run-ttyUSB0"},
                 {"out/.hidden", true, "out/.hidden-ttyUSB0"},
                 {"a.b/c.tar.gz", true, "a.b/c.tar-ttyUSB0.gz"},
                 {"dir/x.hex", false, "dir/x-ttyUSB0.hex"},
                 {"dir\\x.hex", false, "dir\\x-ttyUSB0.hex"},
                 {"dir.v2\\run", false, "dir.v2\\run-ttyUSB0"}};
    for (const FileCase& c : files) {
        ASSERT_EQ(gang_port_file(c.path, "ttyUSB0", c.slash, out, sizeof out), 1) << c.path;
        EXPECT_STREQ(out, c.out) << c.path;
    }
    EXPECT_EQ(gang_port_file(std::string(60, 'a').c_str(), "ttyUSB0", true, out, sizeof out), 0);
}

}  // namespace
