// Frame link: batching, echo check, NAK drain, timed receives and the log.
#include "link_fixture.h"

#include "platform/platform.h"
#include "run/run.h"

using namespace prototest;
using ::testing::ExitedWithCode;

namespace {

class LinkTest : public ProtoTest {};

TEST_F(LinkTest, FramesAreBatchedUntilAReplyIsRead) {
    connect();
    link_send_command(CMD_RESET_ADDRESS);
    const unsigned char frame[3] = {CMD_DELAY_US, 0x88, 0x13};
    link_send_frame(frame, 3);
    EXPECT_TRUE(inproc::host_bytes().empty()) << "queued frames must not be written yet";
    EXPECT_EQ(link_state.tx_count, 6);

    prog_sync();
    ASSERT_EQ(inproc::host_writes().size(), 1u) << "one write for the whole batch";
    EXPECT_EQ(hex(inproc::host_writes()[0]), "16 EA E6 88 13 7F C0 40");
    EXPECT_EQ(link_state.tx_count, 0);

    // An empty buffer writes nothing.
    inproc::clear_trace();
    link_flush();
    EXPECT_TRUE(inproc::host_writes().empty());
}

// Frame lengths by code, as the programmer counts them.
int frame_length(uint8_t code) {
    switch (code) {
    case CMD_SET_VPP_VOLTAGE: case CMD_SET_REPEAT: return 3;
    case CMD_LOAD_CONFIG: case CMD_LOAD_PROGRAM: case CMD_LOAD_DATA: case CMD_DELAY_US: return 4;
    default: return 2;
    }
}

TEST_F(LinkTest, TheTwoHundredFiftySixthByteFlushesAtOnceAndNoFrameIsSplit) {
    // The link sends what it is given; keeping within the programmer's
    // receive buffer is the command layer's task, so the emulated one has no
    // limit here.
    sim::Config unlimited;
    unlimited.rx_buffer = 0;
    connect(unlimited);
    for (int i = 0; i < 127; ++i) link_send_command(CMD_INCREMENT_ADDRESS);
    EXPECT_TRUE(inproc::host_bytes().empty());
    EXPECT_EQ(link_state.tx_count, 254);
    link_send_command(CMD_INCREMENT_ADDRESS);
    ASSERT_EQ(inproc::host_writes().size(), 1u);
    EXPECT_EQ(inproc::host_writes()[0].size(), 256u);
    EXPECT_EQ(link_state.tx_count, 0);
    // A four-byte frame does not fit behind 254 bytes: those go out first and
    // the frame starts the next write whole.
    for (int i = 0; i < 127; ++i) link_send_command(CMD_INCREMENT_ADDRESS);
    const unsigned char frame[3] = {CMD_DELAY_US, 0x10, 0x00};
    link_send_frame(frame, 3);
    ASSERT_EQ(inproc::host_writes().size(), 2u);
    EXPECT_EQ(inproc::host_writes()[1].size(), 254u);
    EXPECT_EQ(link_state.tx_count, 4);
    EXPECT_EQ(hex(Bytes(link_state.tx_buffer, link_state.tx_buffer + 4)), "E6 10 00 0A");

    // A mix of two-, three- and four-byte frames with a sync now and then:
    // the bytes on the wire are the frames in order, and every write holds
    // whole frames only, at most 256 bytes.
    inproc::clear_trace();
    link_flush();
    Bytes expected = inproc::host_bytes();
    for (int i = 0; i < 2000; ++i) {
        const unsigned char frames[3][3] = {
            {CMD_INCREMENT_ADDRESS}, {CMD_SET_REPEAT, 2}, {CMD_LOAD_PROGRAM, 0x34, 0x12}};
        const unsigned char* f = frames[i % 3];
        int n = frame_length(f[0]) - 1;
        link_send_frame(f, n);
        expected.insert(expected.end(), f, f + n);
        expected.push_back(static_cast<uint8_t>(-(f[0] + f[1] + f[2]) & 0xFF));
        if (i % 301 == 300) {
            prog_sync();
            expected.insert(expected.end(), {CMD_SYNC, 0x40});
        }
    }
    link_flush();
    EXPECT_EQ(inproc::host_bytes(), expected);
    for (const Bytes& w : inproc::host_writes()) {
        ASSERT_LE(w.size(), 256u);
        size_t at = 0;
        while (at < w.size()) at += static_cast<size_t>(frame_length(w[at]));
        EXPECT_EQ(at, w.size()) << "a write ends inside a frame: " << hex(w);
    }
}

// A write cut short (Ctrl+C while the driver's queue is full) can stop inside
// a frame. The exit handler sends the rest of that frame before C2 3E, so the
// programmer takes the VPP-off frame as a frame of its own.
TEST_F(LinkTest, ExitHandlerCompletesAFrameCutShortBeforeVppOff) {
    // 16 EA | E6 88 13 7F | C0 40: frame boundaries at 0, 2, 6 and 8.
    const char* const rests[8] = {"", "EA", "", "88 13 7F", "13 7F", "7F", "", "40"};
    for (int cut = 0; cut < 8; ++cut) {
        SCOPED_TRACE(cut);
        reset_records();
        connect(part("PIC12F629"));
        link_send_command(CMD_RESET_ADDRESS);
        const unsigned char delay[3] = {CMD_DELAY_US, 0x88, 0x13};
        link_send_frame(delay, 3);
        link_send_command(CMD_SYNC);
        inproc::cut_next_write(cut);
        EXPECT_EQ(port_write(link_state.tx_buffer, link_state.tx_count), cut);
        const unsigned char* rest = nullptr;
        int n = link_rest_of_frame(&rest);
        EXPECT_EQ(hex(n > 0 ? Bytes(rest, rest + n) : Bytes()), rests[cut]);
        on_exit_handler();
        Bytes wire = inproc::host_bytes();
        ASSERT_GE(wire.size(), 2u);
        EXPECT_EQ(hex(Bytes(wire.end() - 2, wire.end())), "C2 3E");
        EXPECT_TRUE(inproc::programmer().last_frame_was_vpp_off());
        EXPECT_FALSE(inproc::programmer().vpp_on());
    }
    // The link ends the run when its write is cut short.
    reset_records();
    connect();
    link_send_command(CMD_RESET_ADDRESS);
    inproc::cut_next_write(1);
    EXPECT_EXIT({ dup2(2, 1); link_flush(); }, ExitedWithCode(1), "^\ncommunication error!\n$");
}

TEST_F(LinkTest, ReceiveSumsTheReplyAndTimesOut) {
    connect();
    uint16_t words[4];
    inproc::target().poke(0x8000, 0x3FF1);
    prog_read_block(0x8000, 1, words);
    EXPECT_EQ(words[0], 0x3FF1);

    // Low byte, high byte, check byte: the sum comes to 0 modulo 256.
    prog_set_address(0x8000);
    link_send_command(CMD_READ_PROGRAM);
    EXPECT_EQ(link_receive_word(), 0x3FF1);
    EXPECT_EQ(link_receive_checksum(), 0);

    // Nothing more is coming: -1, and the time-out counts as -1 in the sum.
    link_state.rx_sum = 0;
    EXPECT_EQ(link_receive_byte(), -1);
    EXPECT_EQ(link_state.rx_sum, -1);
    EXPECT_EQ(link_receive_word(), -1);
    EXPECT_EQ(link_receive_checksum(), -1);
}

TEST_F(LinkTest, TimedReadWaitsItsPollsAndTakesAByteWhenItComes) {
    connect();
    double before = inproc::now_us();
    EXPECT_EQ(link_read_timed(10), -1);
    double waited = inproc::now_us() - before;
    EXPECT_GE(waited, 10.0 * int(POLL_MS) * 1000 - 1);
    EXPECT_LT(waited, 12.0 * int(POLL_MS) * 1000);

    // A reply is picked up as soon as it is there, not a full poll later.
    link_send_command(CMD_SYNC);
    link_flush();
    before = inproc::now_us();
    EXPECT_EQ(link_read_timed(REPLY_WAITS), REPLY_ACK);
    EXPECT_LT(inproc::now_us() - before, int(POLL_MS) * 1000.0);
}

// However the 65 bytes of a 32-word read reply come in, the host reads them
// all, takes the last one soon after it has arrived, and wakes only a few
// times: one wake-up per byte would cost a system call every 87 us at 115200.
TEST_F(LinkTest, ReadRepliesAreFollowedAsTheyComeIn) {
    const double byte_us = 1e7 / 115200;
    struct Arrival {
        const char* what;
        bool paced;
        int device_baud;    // 0: the line runs at the host's 115200
        double pause_ms;    // after the reply's 21st byte
        double late_us;     // last byte taken at most this long after it arrived
        long waits;
    };
    const Arrival arrivals[] = {
        {"at the baud rate", true, 0, 0, byte_us, 4},
        {"in one burst", false, 0, 0, 0, 0},
        {"byte by byte at 10 x the baud rate", true, 1152000, 0, 20, 4},
        {"with a 30 ms gap", true, 0, 30, byte_us, 7},
    };
    for (const Arrival& a : arrivals) {
        sim::Config config;
        config.paced = a.paced;
        config.device_baud = a.device_baud;
        // Identification takes 14 reply bytes; the test's reply follows.
        config.pause_after_byte = a.pause_ms > 0 ? 14 + 21 : -1;
        config.pause_ms = a.pause_ms;
        connect(config);
        for (int i = 0; i < 32; ++i) chip().poke(0x40 + i, static_cast<uint16_t>(0x1000 + 0x77 * i));
        double before = inproc::now_us();
        uint16_t words[32] = {};
        prog_read_block(0x40, 32, words);
        for (int i = 0; i < 32; ++i) ASSERT_EQ(words[i], 0x1000 + 0x77 * i) << a.what << ", word " << i;
        EXPECT_LE(inproc::now_us() - inproc::last_byte_due_us(), a.late_us + 0.5) << a.what;
        EXPECT_LE(inproc::waits(), a.waits) << a.what;
        double wire_us = (7 + 65) * 1e7 / (a.device_baud ? a.device_baud : 115200);
        EXPECT_LT(inproc::now_us() - before, (a.paced ? wire_us : 0) + a.pause_ms * 1000 + 1000)
            << a.what;
    }
}

// A reply that stops for longer than the time-out is not waited for longer
// because its first part was being followed: the missing byte times out about
// a second after the last one came.
TEST_F(LinkTest, FollowingAReplyKeepsTheByteTimeOut) {
    sim::Config config;
    config.paced = true;
    config.pause_after_byte = 14 + 21;
    config.pause_ms = 1500;
    connect(config);
    prog_set_address(0x40);
    prog_set_repeat(32);
    link_send_command(CMD_READ_PROGRAM);
    link_expect_reply(65);
    for (int i = 0; i < 21; ++i) ASSERT_GE(link_receive_byte(), 0) << i;
    double last = inproc::last_byte_due_us();
    EXPECT_EQ(link_receive_byte(), -1);
    double waited = inproc::now_us() - last;
    EXPECT_GE(waited, REPLY_WAITS * POLL_MS * 1000.0);
    EXPECT_LT(waited, REPLY_WAITS * POLL_MS * 1000.0 + 10000);
}

// The VPP-off frame at exit gets 50 ms to leave before the port closes; a run
// that never opened the port (usage text, an option error) does not wait.
TEST_F(LinkTest, ExitPausesOnlyAfterWritingTheVppOffFrame) {
    inproc::reset(sim::Config());
    on_exit_handler();
    EXPECT_EQ(inproc::now_us(), 0);
    EXPECT_EQ(inproc::waits(), 0);
    EXPECT_TRUE(inproc::host_bytes().empty());

    start(sim::Config());
    on_exit_handler();
    EXPECT_EQ(hex(inproc::host_bytes()), "C2 3E");
    EXPECT_EQ(inproc::now_us(), 50000);
    EXPECT_EQ(port_write_byte(0), 0) << "the port is closed";
}

TEST_F(LinkTest, StrayBytesBeforeAFrameAreDroppedAndNotLogged) {
    connect();
    open_log();
    link_send_command(CMD_SYNC);
    link_flush();
    platform_sleep_ms(20);  // the ACK is now waiting, unread
    ASSERT_GT(port_rx_pending(), 0);
    prog_sync();            // drains the stale ACK, then waits for its own
    EXPECT_EQ(port_rx_pending(), 0);
    EXPECT_EQ(closed_log(), "\nTx: c0 c0\nRx: 06\n--------------- end of log --------------\n");
}

TEST_F(LinkTest, NakWaitingBeforeAFrameEndsTheRunSilently) {
    sim::Config config;
    config.faults.nak_before_frame = 11;  // the first frame after identification
    connect(config);
    open_log();
    EXPECT_EXIT(
        {
            dup2(2, 1);
            link_send_command(CMD_RESET_ADDRESS);
            link_flush();
            platform_sleep_ms(20);
            link_send_command(CMD_RESET_ADDRESS);
        },
        // Nothing on stdout (merged into stderr here), only the reason on stderr.
        ExitedWithCode(1), "^picup: programmer refused a frame \\(NAK\\)[^\n]*\n$");
    // The child's log shows the NAK as a received byte, after the frame.
    EXPECT_EQ(read_file(path("picup.log")), "\nTx: 16\nRx: 15");
}

TEST_F(LinkTest, EchoIsCheckedByteForByte) {
    sim::Config config;
    config.echo = true;
    connect(config);
    EXPECT_TRUE(link_state.echo_mode);
    open_log();
    inproc::target().poke(0x0007, 0x1234);
    EXPECT_EQ(prog_read_word(0x0007), 0x1234);
    prog_sync();
    // Echoes are neither logged nor part of the reply.
    EXPECT_EQ(closed_log(), "\nTx: 16 d5 07 06 44\nRx: 34 12 ba\nTx: c0\nRx: 06"
                            "\n--------------- end of log --------------\n");

    // A wrong echo, or none, ends the run.
    sim::Config bad = config;
    bad.faults.corrupt_echo_byte = 12;
    start(bad);
    EXPECT_EXIT({ dup2(2, 1); connect_target(); }, ExitedWithCode(1), "^\ncommunication error!\n$");
}

TEST_F(LinkTest, LogLinesHoldSeventeenBytesAndChangeWithDirection) {
    connect();
    open_log();
    for (int i = 0; i < 18; ++i) link_send_command(CMD_INCREMENT_ADDRESS);
    prog_sync();
    const unsigned char vpp[2] = {CMD_SET_VPP_VOLTAGE, 85};
    link_send_frame(vpp, 2);
    EXPECT_EQ(link_receive_byte(), -1);  // nothing answers a voltage frame
    std::string expected = "\nTx:";
    for (int i = 0; i < 17; ++i) expected += " 06";
    expected += "\nTx: 06 c0\nRx: 06\nTx: d4 55 !!! Timeout !!!";
    expected += "\n--------------- end of log --------------\n";
    EXPECT_EQ(closed_log(), expected);
    // Ending the log again, or with no log open, does nothing.
    log_end();
    EXPECT_EQ(read_file(path("picup.log")), expected);
    log_byte(0x44, LOG_TX);
    EXPECT_EQ(read_file(path("picup.log")), expected);
}

TEST_F(LinkTest, StartOfARunIsLoggedWithoutProbeAckOrCheckBytes) {
    start(sim::Config());
    inproc::target().poke(0x8000, 0x3FF1);
    inproc::target().poke(0x8001, 0x0002);
    inproc::target().poke(0x8002, 0x3FF3);
    inproc::target().poke(0x8003, 0x0004);
    open_log();
    connect_target();
    uint16_t id = target_info.device_id;
    char rx_id[32];
    std::snprintf(rx_id, sizeof rx_id, "\nRx: %02x %02x %02x", id & 0xFF, id >> 8,
                  (256 - ((id & 0xFF) + (id >> 8)) % 256) % 256);
    EXPECT_EQ(closed_log(), std::string("\nTx: d4 55 c3 80 00 00 d5 04 44") +
                                "\nRx: f1 3f 02 00 f3 3f 04 00 98" + "\nTx: d5 03 06 44" + rx_id +
                                "\nTx: d4 55" + "\n--------------- end of log --------------\n");
}

TEST_F(LinkTest, DeviceGoneEndsTheRunWithoutWaitingOutTimeOuts) {
    sim::Config config;
    config.faults.hangup_after_frame = 10;  // gone after identification
    connect(config);
    EXPECT_EXIT(
        {
            dup2(2, 1);
            double before = inproc::now_us();
            link_send_command(CMD_SYNC);
            int r = link_receive_byte();
            std::fprintf(stderr, "returned %d after %.0f us", r, inproc::now_us() - before);
        },
        ExitedWithCode(1), "^\ncommunication error!\n$");
}

}  // namespace
