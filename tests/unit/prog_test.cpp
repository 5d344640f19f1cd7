// Programmer commands and the address cursor, byte for byte on the wire and
// against the emulated chip's memory.
#include <random>

#include "link_fixture.h"
#include "ui/progress.h"

using namespace prototest;
using ::testing::ExitedWithCode;

namespace {

class ProgTest : public ProtoTest {
protected:
    // Moves the cursor (and the target's counter) to `address`, then clears
    // the trace so only the next step's bytes are seen.
    void park_at(int address) {
        prog_set_address(address);
        link_flush();
        ASSERT_EQ(address_cursor, address);
        inproc::clear_trace();
    }
};

std::string repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += (r.empty() ? "" : " ") + s;
    return r;
}

TEST_F(ProgTest, SingleFrameCommands) {
    connect();
    prog_load_program_word(0xFFFF);
    prog_delay_us(5000);
    prog_set_vpp_voltage(85);
    prog_set_repeat(1);
    prog_set_repeat(0);
    prog_set_repeat(2);
    EXPECT_EQ(hex(sent()), "82 FF 3F 40 E6 88 13 7F D4 55 D7 D5 02 29");
}

TEST_F(ProgTest, IncrementPacksRepeatsAndSyncsEveryElevenCommands) {
    connect();
    struct Case {
        int n;
        std::string bytes;
    };
    const std::string chunk = "D5 FF 2C 06 FA";
    const Case cases[] = {
        {0, ""},
        {1, "06 FA"},
        {2, "D5 02 29 06 FA"},
        {256, "D5 FF 2C 06 FA 06 FA"},
        {2805, repeat(chunk, 11) + " C0 40"},
        {2806, repeat(chunk, 11) + " C0 40 06 FA"},
        {5611, repeat(chunk, 11) + " C0 40 " + repeat(chunk, 11) + " C0 40 06 FA"},
    };
    for (const Case& c : cases) {
        park_at(0);
        prog_increment(c.n);
        EXPECT_EQ(hex(sent()), c.bytes) << "n = " << c.n;
        EXPECT_EQ(address_cursor, c.n) << "n = " << c.n;
    }
}

TEST_F(ProgTest, PositioningMovesForwardOrRestartsTheSpace) {
    connect();
    struct Case {
        int from, to;
        std::string bytes;
    };
    const Case cases[] = {
        {0x8005, 0x8000, "80 00 00 80"},
        {0x8005, 0x8007, "D5 02 29 06 FA"},
        {0x8005, 0x8005, ""},
        {0x0100, 0x0050, "16 EA D5 50 DB 06 FA"},
        {0x0100, 0x0101, "06 FA"},
        {0x0100, 0x0100, ""},
        {0x0000, 0x0000, "16 EA"},
        {0xF004, 0xF010, "D5 0C 1F 06 FA"},
        {0xF004, 0xF001, "16 EA 06 FA"},
        {0x0100, 0xF010, "16 EA D5 10 1B 06 FA"},
        {0x0100, 0x8001, "80 00 00 80 06 FA"},
        {0xF004, 0x8000, "80 00 00 80"},
        {0x8004, 0x0004, "16 EA D5 04 27 06 FA"},
    };
    for (const Case& c : cases) {
        park_at(c.from);
        prog_set_address(c.to);
        EXPECT_EQ(hex(sent()), c.bytes) << std::hex << c.from << " -> " << c.to;
        EXPECT_EQ(address_cursor, c.to);
    }
}

TEST_F(ProgTest, BlockReadLeavesTheCounterOnItsLastWord) {
    connect();
    for (int i = 0; i < 64; ++i) inproc::target().poke(0x40 + i, static_cast<uint16_t>(i * 0x101 & 0x3FFF));
    for (int i = 0; i < 32; ++i) inproc::target().poke(0xF000 + i, static_cast<uint16_t>(0xA0 + i));
    park_at(0);
    uint16_t words[32];
    prog_read_block(0x40, 32, words);
    EXPECT_EQ(address_cursor, 0x40 + 31);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(words[i], i * 0x101 & 0x3FFF) << i;
    inproc::clear_trace();
    prog_set_address(0x60);
    EXPECT_EQ(hex(sent()), "06 FA");
    prog_read_block(0x60, 32, words);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(words[i], (i + 32) * 0x101 & 0x3FFF) << i;

    // Data EEPROM is read with its own command; each word carries one byte.
    inproc::clear_trace();
    prog_read_block(0xF000, 32, words);
    Bytes bytes = inproc::host_bytes();
    EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.begin() + 5)), "16 EA D5 20 0B");
    EXPECT_EQ(hex(Bytes(bytes.begin() + 5, bytes.end())), "45 BB");
    for (int i = 0; i < 32; ++i) EXPECT_EQ(words[i] & 0xFF, 0xA0 + i) << i;
    EXPECT_EQ(address_cursor, 0xF000 + 31);
}

// Random reads all over the map must always find the right cell: any slip of
// the cursor against the target's counter shows up as a wrong word.
TEST_F(ProgTest, CursorStaysInStepWithTheTarget) {
    for (const char* name : {"PIC16F1825", "PIC12F629"}) {
        connect(part(name));
        sim::Target& t = inproc::target();
        std::mt19937 rng(7);
        const int flash = t.flash_size();
        for (int a = 0; a < flash; a += 7) t.poke(a, static_cast<uint16_t>((a * 13) & 0x3FFF));
        for (int n = 0; n < 300; ++n) {
            int space = static_cast<int>(rng() % 3);
            int a = space == 0   ? static_cast<int>(rng() % flash)
                    : space == 1 ? 0x8000 + static_cast<int>(rng() % 9)
                                 : 0xF000 + static_cast<int>(rng() % t.eeprom_size());
            int count = static_cast<int>(rng() % 4) + 1;
            if (space == 0 && a + count > flash) a = flash - count;
            if (space == 1 && a + count > 0x8009) a = 0x8009 - count;
            if (space == 2 && a + count > 0xF000 + t.eeprom_size()) a = 0xF000 + t.eeprom_size() - count;
            uint16_t words[4];
            prog_read_block(a, count, words);
            for (int i = 0; i < count; ++i) {
                uint16_t want = t.peek(a + i);
                if (space == 2) {
                    ASSERT_EQ(words[i] & 0xFF, want & 0xFF) << name << " at " << std::hex << a + i;
                } else {
                    ASSERT_EQ(words[i], want) << name << " at " << std::hex << a + i;
                }
            }
        }
    }
}

TEST_F(ProgTest, TypeOneDevicesResetByCyclingVpp) {
    connect(part("PIC12F629"));
    ASSERT_EQ(device.type_code, 1);
    park_at(0x10);
    prog_set_address(0);
    EXPECT_EQ(hex(sent()), "C2 3E C3 3D");
    EXPECT_EQ(address_cursor, 0);
    inproc::clear_trace();
    inproc::target().poke(3, 0x0ABC);
    park_at(0x10);
    EXPECT_EQ(prog_read_word(3), 0x0ABC);
    // The ACK to VPP on is awaited; without it the run ends.
    sim::Config config = part("PIC12F629");
    config.faults.vpp_on_fail = true;
    start(config);
    EXPECT_EXIT({ dup2(2, 1); prog_reset_address(); }, ExitedWithCode(1),
                "^\nVPP activation failed!\n$");
}

TEST_F(ProgTest, WriteWordCheckedWritesReadsBackAndKeepsTheCursor) {
    connect(part("PIC12F629"));
    park_at(0x8001);
    open_log();
    EXPECT_EQ(prog_write_word_checked(0x1234), 0x1234);
    // The read reply's checksum byte is taken too, so nothing is left waiting.
    EXPECT_EQ(port_rx_pending(), 0);
    EXPECT_EQ(closed_log(), "\nTx: 82 34 12 08 e6 70 17 44\nRx: 34 12 ba"
                            "\n--------------- end of log --------------\n");
    EXPECT_EQ(address_cursor, 0x8001);
    EXPECT_EQ(inproc::target().peek(0x8001), 0x1234);
    Bytes bytes = inproc::host_bytes();
    // Load, begin programming, the device's EEPROM/config time (6000 us), read.
    EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.begin() + 12)), "82 34 12 38 08 F8 E6 70 17 93 44 BC");
    // The next word is reached by one increment.
    prog_increment(1);
    EXPECT_EQ(prog_write_word_checked(0x0005), 0x0005);
    EXPECT_EQ(inproc::target().peek(0x8002), 0x0005);
    EXPECT_EQ(inproc::target().peek(0x8001), 0x1234);
}

TEST_F(ProgTest, ReplyFaultsEndTheRun) {
    sim::Config corrupt;
    corrupt.faults.corrupt_read_reply = 3;  // the first read after identification
    connect(corrupt);
    EXPECT_EXIT({ dup2(2, 1); prog_read_word(0); }, ExitedWithCode(1), "^\ncommunication error!\n$");

    sim::Config stall;
    stall.faults.stall_after_frame = 10;  // silent from the first frame after identification
    connect(stall);
    EXPECT_EXIT({ dup2(2, 1); prog_sync(); }, ExitedWithCode(1), "^\ncommunication error!\n$");
    EXPECT_EXIT({ dup2(2, 1); prog_read_word(0); }, ExitedWithCode(1), "^\ncommunication error!\n$");
    EXPECT_EQ(prog_write_word_checked(0x0123), -1);
}

// A refused frame is answered with a lone NAK (0x15). A reply that starts
// with that NAK and then fails is the programmer refusing a frame, and stderr
// says so after the console message; a word whose low byte happens to be 0x15
// is just data.
TEST_F(ProgTest, ARefusedFrameIsToldApartFromAWordThatHoldsItsCode) {
    connect();
    inproc::target().poke(0x10, 0x0015);
    inproc::target().poke(0x11, 0x3F15);
    uint16_t words[2];
    prog_read_block(0x10, 2, words);
    EXPECT_EQ(words[0], 0x0015);
    EXPECT_EQ(words[1], 0x3F15);
    EXPECT_EQ(prog_write_word_checked(0x0015), 0x0015);

    sim::Config nak;
    nak.faults.nak_before_frame = 11;  // the first frame after identification
    connect(nak);
    EXPECT_EXIT({ dup2(2, 1); ui_stage("reading memory"); prog_read_word(0); }, ExitedWithCode(1),
                "^\ncommunication error!\npicup: programmer refused a frame \\(NAK\\) while "
                "reading memory\n$");
    connect(nak);
    EXPECT_EXIT({ dup2(2, 1); ui_stage("bulk erasing"); prog_sync(); }, ExitedWithCode(1),
                "^\ncommunication error!\npicup: programmer refused a frame \\(NAK\\) while "
                "bulk erasing\n$");
    // A corrupt reply that does not start with NAK is no refusal.
    sim::Config corrupt;
    corrupt.faults.corrupt_read_reply = 3;
    connect(corrupt);
    EXPECT_EXIT({ dup2(2, 1); prog_read_word(0); }, ExitedWithCode(1), "^\ncommunication error!\n$");
}

}  // namespace
