// Probe, identification and the /INFO texts, over the emulated programmer.
#include "link_fixture.h"

using namespace prototest;
using ::testing::ExitedWithCode;

namespace {

class DetectTest : public ProtoTest {
protected:
    std::string report(int status) {
        testing::internal::CaptureStdout();
        print_target_report(status);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
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

TEST_F(DetectTest, ConnectFailures) {
    sim::Config c;
    c.silent = true;
    expect_connect_fails(c, "^\nno Programmer connected!\n$");
    c = sim::Config();
    c.loopback = true;
    expect_connect_fails(c, "^\nno Programmer connected!\n$");
    c = sim::Config();
    c.status = 0x90;
    expect_connect_fails(c, "^\nICSP connection failure!\n$");
    c = sim::Config();
    c.faults.vpp_on_fail = true;
    expect_connect_fails(c, "^\nVPP activation failed!\n$");
    for (int id : {0x0000, 0x3FFF, 0xFFFF}) {
        c = sim::Config();
        c.device_id = id;
        expect_connect_fails(c, "^\nno target detected!\n$");
    }
    c = sim::Config();
    c.faults.corrupt_read_reply = 1;
    expect_connect_fails(c, "^\ncommunication error!\n$");

    // Row size 0x40 is refused after the device's voltage was set.
    write_file(path("picup.dat"), "PIC16F1825 0x2760 0x3FE0 0x0040 0x2000 V:90\n");
    c = sim::Config();
    expect_connect_fails(c, "^\nunsupported rowsize!\n$");
    write_file(path("picup.dat"), "PIC16F1825 0x2760 0x3FE0 0x0020 0x2000\n");
    connect(c);
    EXPECT_EQ(device.row_size, 32);
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

TEST_F(DetectTest, TargetReport) {
    connect();
    target_info.device_id = 0x2761;
    target_info.user_id = 0x1234;
    EXPECT_EQ(report(0), "\nTarget device ID:      0x2761 = PIC16F1825"
                         "\nProgram flash size:    0x2000"
                         "\nData EEPROM:           256"
                         "\nTarget's user ID:      1234"
                         "\nVDD by programmer\n");
    EXPECT_EQ(report(0x10 | 0x01), "\nTarget device ID:      0x2761 = PIC16F1825"
                                   "\nProgram flash size:    0x2000"
                                   "\nData EEPROM:           256"
                                   "\nTarget's user ID:      1234"
                                   "\nVDD by Target (CONFIG: MCLRE_OFF might cause problem!)\n");
    // No EEPROM line while the device has none; unknown parts show the defaults.
    sim::Config c;
    c.device_id = 0x0042;
    reset_records();
    connect(c);
    target_info.user_id = 0x00AB;
    EXPECT_EQ(report(0), "\nTarget device ID:      0x0042 = (unknown)"
                         "\nProgram flash size:    0x8000"
                         "\nTarget's user ID:      00AB"
                         "\nVDD by programmer\n");
}

TEST_F(DetectTest, VersionLine) {
    testing::internal::CaptureStdout();
    print_version_line();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "picup Version 0.0\n");
}

}  // namespace
