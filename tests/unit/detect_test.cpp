// Probe and identification over the emulated programmer.
#include "link_fixture.h"

using namespace prototest;
using ::testing::ExitedWithCode;

namespace {

class DetectTest : public ProtoTest {
protected:
    void expect_connect_fails(const sim::Config& config, const char* message) {
        start(config);
        EXPECT_EXIT({ dup2(2, 1); connect_target(); }, ExitedWithCode(1), message) << config.part;
    }
};

TEST_F(DetectTest, ProbeSeesStatusAndEcho) {
    sim::Config config;
    config.status = 0x10;
    start(config);
    EXPECT_EQ(prog_probe(), 0x10);
    EXPECT_FALSE(link_state.echo_mode);
    EXPECT_EQ(hex(inproc::host_bytes()), "C1 3F");
    ASSERT_EQ(inproc::host_writes().size(), 2u) << "the two probe bytes go out one at a time";

    config.echo = true;
    start(config);
    EXPECT_EQ(prog_probe(), 0x10);
    EXPECT_TRUE(link_state.echo_mode);

    // Nothing attached, or a line that only echoes: no status byte.
    sim::Config silent;
    silent.silent = true;
    start(silent);
    EXPECT_EQ(prog_probe(), -1);
    EXPECT_FALSE(link_state.echo_mode);
    sim::Config loop;
    loop.loopback = true;
    start(loop);
    EXPECT_EQ(prog_probe(), -1);
    EXPECT_TRUE(link_state.echo_mode);
}

// The status byte is taken the moment it arrives, early or late, on a line
// with and without echo; an echo ends the echo wait at once, a line without
// echo is given 20 ms for one. An answer later than 200 ms is none.
TEST_F(DetectTest, ProbeTakesTheStatusByteWhenItComes) {
    for (bool echo : {false, true}) {
        for (double ms : {1.0, 19.0, 21.0, 150.0}) {
            sim::Config config;
            config.status = 0x10;
            config.echo = echo;
            config.probe_answer_ms = ms;
            start(config);
            EXPECT_EQ(prog_probe(), 0x10) << ms << " ms, echo " << echo;
            EXPECT_EQ(link_state.echo_mode, echo);
            double check_sent_us = echo ? 0 : 20000;
            EXPECT_DOUBLE_EQ(inproc::last_byte_due_us(), check_sent_us + ms * 1000);
            EXPECT_DOUBLE_EQ(inproc::now_us(), inproc::last_byte_due_us()) << ms << " ms";
            EXPECT_EQ(hex(inproc::host_bytes()), "C1 3F");
            EXPECT_EQ(inproc::host_writes().size(), 2u);
        }
        sim::Config late;
        late.echo = echo;
        late.probe_answer_ms = 250;
        start(late);
        EXPECT_EQ(prog_probe(), -1);
        EXPECT_EQ(inproc::now_us(), (echo ? 0 : 20000) + 200000.0);
        // The console text, then the port and rate that got no answer.
        expect_connect_fails(late, "^\nno Programmer connected!\npicup: nothing answered the "
                                   "probe on emulated port at 115200 baud; .*/BAUD=");
    }
}

// A programmer that reads only its own rate is named by the first usual rate
// that answers, on a line with and without echo; one at a rate outside the
// usual ones is not found, and the line names none.
TEST_F(DetectTest, NoAnswerNamesTheRateThatAnswers) {
    for (bool echo : {false, true}) {
        for (int rate : {9600, 57600, 1000000}) {
            sim::Config config;
            config.programmer_baud = rate;
            config.echo = echo;
            std::string hint = "^\nno Programmer connected!\npicup: no answer from the programmer on "
                               "emulated port at 115200 baud; it answers at " +
                               std::to_string(rate) + ": use /BAUD=" + std::to_string(rate) + "\n$";
            expect_connect_fails(config, hint.c_str());
        }
        sim::Config odd;
        odd.programmer_baud = 250000;
        odd.echo = echo;
        expect_connect_fails(odd, "^\nno Programmer connected!\npicup: nothing answered the probe "
                                  "on emulated port at 115200 baud; the usual rates");
    }
    // At its own rate the probe is answered at once, and nothing else is tried.
    sim::Config own;
    own.programmer_baud = 115200;
    own.status = 0x10;
    start(own);
    EXPECT_EQ(connect_target(), 0x10);
    EXPECT_EQ(port_baud(), 115200);
}

TEST_F(DetectTest, ConnectIdentifiesTheTarget) {
    start(sim::Config());
    inproc::target().poke(0x8000, 0x3FF1);
    inproc::target().poke(0x8001, 0x0002);
    inproc::target().poke(0x8002, 0x3FF3);
    inproc::target().poke(0x8003, 0x0004);
    EXPECT_EQ(connect_target(), 0);
    Bytes bytes = inproc::host_bytes();
    EXPECT_EQ(hex(bytes), "C1 3F D4 55 D7 C3 3D 80 00 00 80 D5 04 27 44 BC D5 03 28 06 FA 44 BC");
    EXPECT_EQ(target_info.user_id, 0x1234);
    EXPECT_EQ(target_info.user_id_words[2], 0x3FF3);
    EXPECT_EQ(target_info.device_id, inproc::target().peek(0x8006));
    EXPECT_STREQ(target_info.device_name, "PIC16F1825");
    EXPECT_EQ(address_cursor, 0x8006);
    // The device's own voltage is queued last and goes out with the next batch.
    EXPECT_EQ(link_state.tx_count, 3);
    EXPECT_EQ(hex(Bytes(link_state.tx_buffer, link_state.tx_buffer + 3)), "D4 55 D7");

    connect(part("PIC12F629"));
    EXPECT_EQ(hex(Bytes(link_state.tx_buffer, link_state.tx_buffer + 3)), "D4 5F CD");
    EXPECT_EQ(device.type_code, 1);
}

// The failures seen by users are run against the real binary as well; these
// are the ones only reachable here.
TEST_F(DetectTest, ConnectFailures) {
    sim::Config c;
    c.device_id = 0xFFFF;
    // Nothing named: the run says how an older part would be reached.
    expect_connect_fails(c, "^picup: older parts that need 10-13 V .* /PART=<name> .*\n\nno target detected!\n$");
    c = sim::Config();
    c.faults.corrupt_read_reply = 1;
    expect_connect_fails(c, "^\ncommunication error!\n$");
    // 32 is the largest row size accepted.
    write_file(path("picup.dat"), "PIC16F1825 0x2760 0x3FE0 0x0021 0x2000\n");
    expect_connect_fails(sim::Config(), "\nunsupported rowsize!\n$");
    write_file(path("picup.dat"), "PIC16F1825 0x2760 0x3FE0 0x0020 0x2000\n");
    connect();
    EXPECT_EQ(device.row_size, 32);
}

// The older parts enter programming mode only inside their VPP range: at the
// 8.5 V of an unnamed identification they read as nothing, named they are
// identified at their own VPP from the first VPP on, which then stays.
TEST_F(DetectTest, NamedPartIsIdentifiedAtItsOwnVpp) {
    sim::Config c;
    c.part = "PIC16F628A";
    expect_connect_fails(c, "/PART=<name>.*\n\nno target detected!\n$");
    const Part* named = part_find_name("pic16f628a");
    ASSERT_NE(named, nullptr);
    start(c);
    EXPECT_EQ(connect_target(named), 0);
    EXPECT_STREQ(target_info.device_name, "PIC16F628A");
    Bytes bytes = inproc::host_bytes();
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(hex(Bytes(bytes.begin() + 2, bytes.begin() + 4)), "D4 82") << "13.0 V before the first VPP on";
    EXPECT_EQ(hex(Bytes(link_state.tx_buffer, link_state.tx_buffer + 2)), "D4 82");
    // A part whose VPP lies below the maximum of a database line that says
    // otherwise never gets more than that maximum.
    write_file(path("picup.dat"), "PIC16F628A 0x1060 0x3FE0 0 0x800 T:3 V:140 K:128 U:132\n");
    start(c);
    EXPECT_EQ(connect_target(named), 0);
    EXPECT_EQ(device.vpp, 140);
    EXPECT_EQ(hex(Bytes(link_state.tx_buffer, link_state.tx_buffer + 2)), "D4 84");
    // A PIC16F84A needs at least 12 V; named as a PIC16F690 (11 V) it stays
    // in reset, and the run has nothing more to suggest.
    c.part = "PIC16F84A";
    start(c);
    const Part* wrong = part_find_name("PIC16F690");
    EXPECT_EXIT({ dup2(2, 1); connect_target(wrong); }, ExitedWithCode(1), "^\nno target detected!\n$");
}

TEST_F(DetectTest, EdgeDeviceIdsAreAccepted) {
    for (int id : {0x0001, 0x3FFE}) {
        sim::Config c;
        c.device_id = id;
        connect(c);
        EXPECT_EQ(target_info.device_id, id);
        EXPECT_STREQ(target_info.device_name, "(unknown)");
        EXPECT_EQ(device.flash_size, 0x8000);
        // Not in the database: 8.5 V again.
        EXPECT_EQ(hex(Bytes(link_state.tx_buffer, link_state.tx_buffer + 3)), "D4 55 D7");
    }
}

}  // namespace
