// The HEX reader on files built in the test: record syntax and checksums, the
// end record, files with nothing to write, address limits of the image and of
// the chip, the PIC12F629-family address move, word assembly and the record
// types that carry no data.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"

namespace {

// One record with its checksum, as a linker writes it.
std::string record(int type, int address, std::initializer_list<int> data) {
    int count = static_cast<int>(data.size());
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", count, address, type);
    std::string s = buf;
    int sum = count + (address >> 8) + (address & 0xFF) + type;
    for (int d : data) {
        std::snprintf(buf, sizeof buf, "%02X", d);
        s += buf;
        sum += d;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (256 - sum % 256) % 256);
    return s + buf;
}

const std::string END = ":00000001FF\n";

std::string linear(int upper) { return record(4, 0, {upper >> 8, upper & 0xFF}); }

class HexReader : public ::testing::Test {
protected:
    std::string output;

    void SetUp() override {
        image_init();
        device_db_set_defaults();
    }

    int load(const std::string& text, int flash_size = 0x2000) {
        std::FILE* f = std::tmpfile();
        std::fputs(text.c_str(), f);
        std::rewind(f);
        testing::internal::CaptureStdout();
        int r = hex_load(f, image, flash_size);
        std::fflush(stdout);
        output = testing::internal::GetCapturedStdout();
        std::fclose(f);
        return r;
    }
};

TEST_F(HexReader, RecordSyntaxAndChecksums) {
    // A well-formed file loads; lower-case digits and text around records are fine.
    std::string good = "junk before\n" + record(0, 0x0010, {0xAB, 0x12}) + "  ; comment\r\n" +
                       ":020012000c30b0\n" + END;
    EXPECT_EQ(load(good), 0);
    EXPECT_EQ(image[0x8], 0x12AB);
    EXPECT_EQ(image[0x9], 0x300C);
    EXPECT_EQ(output, "");

    // A wrong checksum fails silently, but what came before it stays loaded.
    image_init();
    std::string bad = record(0, 0, {0x01, 0x00}) + ":0200020002000A\n" + END;
    EXPECT_EQ(load(bad), -1);
    EXPECT_EQ(image[0], 0x0001);
    EXPECT_EQ(output, "");

    // A blank or another character inside a record fails silently.
    EXPECT_EQ(load(":02000000 0100FD\n" + END), -1);
    EXPECT_EQ(load(":0200000001G0FD\n" + END), -1);
    EXPECT_EQ(output, "");
    // A record cut off by the end of the file fails.
    EXPECT_EQ(load(":0200000001"), -1);
}

TEST_F(HexReader, EndRecordAndMissingEnd) {
    // Nothing after the end record is read, even malformed text.
    EXPECT_EQ(load(record(0, 2, {3, 4}) + END + ":zz garbage\n" + record(0, 0, {1, 2})), 0);
    EXPECT_EQ(image[0], EMPTY_CELL);
    EXPECT_EQ(image[1], 0x0403);
    EXPECT_EQ(output, "");

    // A file cut short keeps what it loaded but is refused: an upload of part
    // of a program must not pass for the program.
    EXPECT_EQ(load(record(0, 0x20, {0x34, 0x12})), -1);
    EXPECT_EQ(image[0x10], 0x1234);
    EXPECT_EQ(output, "\nHexfile has no end record - nothing written!\n");
    EXPECT_EQ(hex_fault(), HEX_FAULT_NO_END);
    EXPECT_EQ(hex_fault_line(), 0);

    // Nothing to write: only an end record, only address records, an empty
    // file, plain text. Refused whether or not an end record closes them.
    const std::string nothing[] = {END, linear(1) + END, linear(0), "", "hello\n"};
    const HexFault why[] = {HEX_FAULT_NO_DATA, HEX_FAULT_NO_DATA, HEX_FAULT_NO_DATA,
                            HEX_FAULT_NO_RECORD, HEX_FAULT_NO_RECORD};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        write_flags = 0;
        EXPECT_EQ(load(nothing[i]), -1);
        EXPECT_EQ(output, "\nHexfile holds no data - nothing written!\n");
        EXPECT_EQ(hex_fault(), why[i]);
        EXPECT_EQ(write_flags, 0);
    }
    // A data record of no bytes holds no data either.
    EXPECT_EQ(load(record(0, 0, {}) + END), -1);
    EXPECT_EQ(hex_fault(), HEX_FAULT_NO_DATA);
}

// The connected chip's memories limit the file: EEPROM and configuration
// space beyond them are refused like flash beyond the flash size, naming the
// first address; read-only words are skipped.
TEST_F(HexReader, ChipMemoryLimits) {
    device.flash_size = 0x2000;  // PIC16F1825
    device.row_size = 32;
    device.eeprom_size = 256;
    device.eeprom_base = 0xF000;
    // The last EEPROM byte and both configuration words fit.
    EXPECT_EQ(load(linear(1) + record(0, 0xE1FE, {0x5A, 0x00}) + record(0, 0x0010, {0xFF, 0x1E}) +
                   END),
              0);
    EXPECT_EQ(image[0xF0FF], 0x005A);
    EXPECT_EQ(image[0x8008], 0x1EFF);
    EXPECT_EQ(write_flags, WF_EEPROM | WF_CONFIG);
    // 512 EEPROM bytes for a 256-byte EEPROM: refused at the first byte beyond it.
    std::string eeprom = linear(1);
    for (int a = 0xE000; a < 0xE400; a += 16) {
        eeprom += record(0, a, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0});
    }
    EXPECT_EQ(load(eeprom + END), -1);
    EXPECT_EQ(output, "\nData from hexfile at 0xF100 exceed EEPROM size!\n");
    EXPECT_EQ(image[0xF100], EMPTY_CELL);
    // Configuration space beyond configuration word 2.
    EXPECT_EQ(load(linear(1) + record(0, 0x0012, {1, 0}) + END), -1);
    EXPECT_EQ(output, "\nData from hexfile at 0x8009 exceed config memory!\n");
    EXPECT_EQ(load(linear(1) + record(0, 0x2000, {1, 0}) + END), -1);
    EXPECT_EQ(output, "\nData from hexfile at 0x9000 exceed config memory!\n");

    // Reserved, revision and device ID: skipped, and the load goes on.
    image_init();
    EXPECT_EQ(load(linear(1) + record(0, 0x0006, {0x11, 0, 0x22, 0, 0x33, 0, 0x63, 0x27, 0x07, 0}) +
                   END),
              0);
    EXPECT_EQ(output, "");
    EXPECT_EQ(image[0x8003], 0x0011);
    EXPECT_EQ(image[0x8004], EMPTY_CELL);
    EXPECT_EQ(image[0x8006], EMPTY_CELL);
    EXPECT_EQ(image[0x8007], 0x0007);
    EXPECT_EQ(hex_skipped_first(), 0x8004);
    EXPECT_EQ(hex_skipped_last(), 0x8006);
    // A file that holds nothing else has nothing to write.
    EXPECT_EQ(load(linear(1) + record(0, 0x000C, {0x63, 0x27}) + END), -1);
    EXPECT_EQ(hex_fault(), HEX_FAULT_NO_DATA);
    EXPECT_EQ(hex_skipped_first(), 0x8006);
    EXPECT_EQ(load(record(0, 0, {1, 0}) + END), 0);
    EXPECT_EQ(hex_skipped_first(), -1);

    // A chip without data EEPROM takes none.
    device.flash_size = 0x800;  // PIC16F1503
    device.eeprom_size = 0;
    device.eeprom_base = 0;
    EXPECT_EQ(load(linear(1) + record(0, 0xE000, {0x12, 0x00}) + END, 0x800), -1);
    EXPECT_EQ(output, "\nData from hexfile at 0xF000 exceed EEPROM size!\n");

    // The PIC12F629 family has configuration word 1 only and 128 EEPROM bytes;
    // the file's 0x2008 and 0x2180 are the host's 0x8008 and 0xF080.
    device.flash_size = 0x400;
    device.row_size = 0;
    device.eeprom_size = 128;
    device.eeprom_base = 0xF000;
    device.type_code = 1;
    device.config_words = 1;
    EXPECT_EQ(load(record(0, 0x400E, {0x84, 0x31}) + record(0, 0x42FE, {0x99, 0x00}) + END, 0x400),
              0);
    EXPECT_EQ(image[0xF07F], 0x0099);
    EXPECT_EQ(load(record(0, 0x4010, {0xFF, 0x3F}) + END, 0x400), -1);
    EXPECT_EQ(output, "\nData from hexfile at 0x8008 exceed config memory!\n");
    EXPECT_EQ(load(record(0, 0x4300, {0x01, 0x00}) + END, 0x400), -1);
    EXPECT_EQ(output, "\nData from hexfile at 0xF080 exceed EEPROM size!\n");
}

TEST_F(HexReader, AddressLimits) {
    // Flash size 0x800: the last word is accepted, the next one refused.
    EXPECT_EQ(load(record(0, 0x0FFF, {0x3F}) + END, 0x800), 0);
    EXPECT_EQ(write_flags, WF_PROGRAM);
    EXPECT_EQ(load(record(0, 0x1000, {0x00}) + END, 0x800), -1);
    EXPECT_EQ(output, "\nData from hexfile exceed flashsize!\n");

    // A device missing from the database keeps 0x8000 words: all of program space.
    EXPECT_EQ(load(record(0, 0xFFFE, {0x01, 0x02}) + END, 0x8000), 0);
    EXPECT_EQ(image[0x7FFF], 0x0201);

    // Byte address 0x1FFFF is the image's last cell; 0x20000 is beyond it.
    image_init();
    EXPECT_EQ(load(linear(1) + record(0, 0xFFFF, {0x12}) + END), 0);
    EXPECT_EQ(image[0xFFFF], 0x12FF & 0x3FFF);
    EXPECT_EQ(write_flags, WF_EEPROM);
    EXPECT_EQ(load(linear(2) + record(0, 0x0000, {0x12}) + END), -1);
    EXPECT_EQ(output, "\nHexfile contains invalid address!\n");
    // A record that runs over the end of the image fails at its first byte
    // beyond it, without wrapping round to low addresses.
    image_init();
    EXPECT_EQ(load(linear(0xFFFF) + record(0, 0xFFFF, {0x12, 0x34}) + END), -1);
    EXPECT_EQ(image[0], EMPTY_CELL);

    // Upper linear address 1, record address 0x000E: configuration word 1.
    image_init();
    EXPECT_EQ(load(linear(1) + record(0, 0x000E, {0xE4, 0x3F}) + END), 0);
    EXPECT_EQ(image[0x8007], 0x3FE4);
    EXPECT_EQ(write_flags, WF_CONFIG);
    // User IDs set their own flag; 0x8004..0x8006 and beyond 0x8008 set none.
    write_flags = 0;
    EXPECT_EQ(load(linear(1) + record(0, 0x0000, {1, 0}) + record(0, 0x0008, {1, 0}) +
                   record(0, 0x0012, {1, 0}) + END),
              0);
    EXPECT_EQ(write_flags, WF_USER_ID);
    EXPECT_EQ(image[0x8004], 0x0001);
}

TEST_F(HexReader, Type1AddressMove) {
    device.type_code = 1;
    // The file's configuration word (0x2007) lands on 0x8007.
    EXPECT_EQ(load(record(0, 0x400E, {0x84, 0x31}) + END, 0x400), 0);
    EXPECT_EQ(image[0x8007], 0x3184);
    EXPECT_EQ(write_flags, WF_CONFIG);
    // The file's EEPROM (0x2100) lands on 0xF000.
    write_flags = 0;
    EXPECT_EQ(load(record(0, 0x4200, {0x55, 0x00, 0xAA, 0x00}) + END, 0x400), 0);
    EXPECT_EQ(image[0xF000], 0x0055);
    EXPECT_EQ(image[0xF001], 0x00AA);
    EXPECT_EQ(write_flags, WF_EEPROM);
    // 0x4100 is 0x8080: stored, no flag.
    write_flags = 0;
    EXPECT_EQ(load(record(0, 0x4100, {0x01, 0x00}) + END, 0x400), 0);
    EXPECT_EQ(image[0x8080], 0x0001);
    EXPECT_EQ(write_flags, 0);
    // Program addresses are not moved.
    EXPECT_EQ(load(record(0, 0x07FE, {0x80, 0x34}) + END, 0x400), 0);
    EXPECT_EQ(image[0x3FF], 0x3480);
    // Upper linear address 1 moves 0x10000 to 0x29E00: beyond the image.
    EXPECT_EQ(load(linear(1) + record(0, 0x0000, {0x00}) + END, 0x400), -1);
    EXPECT_EQ(output, "\nHexfile contains invalid address!\n");

    // A standard device keeps the file's addresses.
    device.type_code = 0;
    image_init();
    EXPECT_EQ(load(record(0, 0x400E, {0x84, 0x31}) + END, 0x4000), 0);
    EXPECT_EQ(image[0x2007], 0x3184);
    EXPECT_EQ(image[0x8007], EMPTY_CELL);
}

TEST_F(HexReader, WordAssembly) {
    // Both bytes in either order; the top two bits of the high byte are dropped.
    EXPECT_EQ(load(record(0, 0, {0x34, 0xFF}) + record(0, 3, {0xC1}) + record(0, 2, {0x78}) + END),
              0);
    EXPECT_EQ(image[0], 0x3F34);
    EXPECT_EQ(image[1], 0x0178);
    // Only one half in an empty cell.
    EXPECT_EQ(load(record(0, 4, {0x21}) + record(0, 7, {0x12}) + END), 0);
    EXPECT_EQ(image[2], 0x3F21);
    EXPECT_EQ(image[3], 0x12FF & 0x3FFF);
    // The half the file does not give comes from an erased or filled cell.
    image[0x10] = 0x3FFF;
    image[0x11] = 0x1234;
    image[0x12] = 0xABCD;
    EXPECT_EQ(load(record(0, 0x20, {0x00}) + record(0, 0x23, {0x05}) + record(0, 0x24, {0x99}) +
                   END),
              0);
    EXPECT_EQ(image[0x10], 0x3F00);
    EXPECT_EQ(image[0x11], 0x0534);
    EXPECT_EQ(image[0x12], 0x2B99);
    // A later byte for the same half replaces the earlier one.
    EXPECT_EQ(load(record(0, 0x40, {0x11, 0x22}) + record(0, 0x40, {0x33}) + END), 0);
    EXPECT_EQ(image[0x20], 0x2233);
}

TEST_F(HexReader, RecordTypesWithoutData) {
    // Start address records are skipped, their bytes checked by the checksum.
    std::string starts = record(3, 0, {0x12, 0x34, 0x56, 0x78}) + record(5, 0, {0, 0, 1, 0}) +
                         record(0, 0, {0x01, 0x02}) + END;
    EXPECT_EQ(load(starts), 0);
    EXPECT_EQ(image[0], 0x0201);
    EXPECT_EQ(load(":0400000512345678E4\n" + END), -1);  // checksum off by one

    // A segment address record moves later data by segment x 16.
    image_init();
    EXPECT_EQ(load(record(2, 0, {0x10, 0x00}) + record(0, 0x0002, {0x07, 0x00}) + END), 0);
    EXPECT_EQ(image[0x8001], 0x0007);
    EXPECT_EQ(image[0x0001], EMPTY_CELL);
    EXPECT_EQ(write_flags, WF_USER_ID);
    // A linear address record that follows replaces the segment base.
    EXPECT_EQ(load(record(2, 0, {0x10, 0x00}) + linear(0) + record(0, 2, {0x09, 0x00}) + END), 0);
    EXPECT_EQ(image[0x0001], 0x0009);

    // An extended linear address record with a byte count other than 2 still
    // takes the two bytes after its type; the sum then decides.
    EXPECT_EQ(load(":000000040001FB\n" + record(0, 0x0E, {0x01, 0x00}) + END), 0);
    EXPECT_EQ(image[0x8007], 0x0001);
    EXPECT_EQ(load(":000000040001FC\n" + END), -1);

    // Any other record type is refused with a message.
    EXPECT_EQ(load(record(6, 0, {0x01}) + END), -1);
    EXPECT_EQ(output, "\nHexfile contains unknown record type!\n");
}
}  // namespace
