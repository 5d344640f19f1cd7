// The programmer's side of the wire: frames, the probe, echo, replies and
// their timing, the calibration ticks and the injected faults; and the
// in-process port that puts it under the product on a virtual clock.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "serial/port.h"
#include "sim/inproc.h"
#include "sim_bench.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SimLine, FramesProbeAndRejects) {
    sim::Config c;
    c.status = 0x10;
    SimBench b(c);
    b.raw({0xC1});
    EXPECT_TRUE(b.take().empty());  // nothing after the code byte alone
    b.raw({0x3F});
    EXPECT_EQ(b.take(), Bytes({0x10}));
    b.raw({0xC3, 0x3E});  // wrong check byte
    EXPECT_EQ(b.take(), Bytes({21}));
    EXPECT_FALSE(b.p.vpp_on());
    b.raw({0xC5});  // a programmer code that does not exist: rejected, next byte starts a frame
    EXPECT_EQ(b.take(), Bytes({21}));
    // Any code below 0xC0 is an ICSP command: its frame length follows from
    // the code (0x80: a data word), and it is passed on, not refused.
    b.raw({0x01, 0xFF});
    b.raw({0xA1, 0x34, 0x12, 0x19});
    EXPECT_TRUE(b.take().empty());
    b.vpp_on();
    EXPECT_EQ(b.take(), Bytes({6}));
    EXPECT_TRUE(b.p.vpp_on());
    // A frame split over several deliveries is still one frame.
    b.raw({0xD5});
    b.raw({0x03, 0x28});
    b.raw({0x44});
    b.raw({0xBC});
    Bytes r = b.take();
    ASSERT_EQ(r.size(), 7u);
    unsigned sum = 0;
    for (uint8_t x : r) sum += x;
    EXPECT_EQ(sum % 256, 0u);
    b.vpp_off();
    EXPECT_TRUE(b.p.last_frame_was_vpp_off());
    EXPECT_FALSE(b.p.vpp_on());
    b.frame({0xC0});
    EXPECT_FALSE(b.p.last_frame_was_vpp_off());
    EXPECT_EQ(b.p.bytes_from_host(), 22u);  // the six bytes of the two ICSP frames counted too
}

TEST(SimLine, EchoLoopbackAndSilentLines) {
    sim::Config c;
    c.echo = true;
    SimBench echo(c);
    echo.raw({0xC1});
    EXPECT_EQ(echo.take(), Bytes({0xC1}));
    echo.raw({0x3F});
    EXPECT_EQ(echo.take(), Bytes({0x3F, 0x00}));  // echo first, then the status
    echo.raw({0xC3, 0x3D, 0xC0, 0x40});
    EXPECT_EQ(echo.take(), Bytes({0xC3, 0x3D, 0x06, 0xC0, 0x40, 0x06}));

    c = sim::Config();
    c.loopback = true;
    SimBench loop(c);
    loop.raw({0xC1, 0x3F, 0xC3, 0x3D});
    EXPECT_EQ(loop.take(), Bytes({0xC1, 0x3F, 0xC3, 0x3D}));
    EXPECT_FALSE(loop.p.vpp_on());

    c = sim::Config();
    c.silent = true;
    c.echo = true;
    SimBench silent(c);
    silent.raw({0xC1, 0x3F, 0xC3, 0x3D});
    EXPECT_TRUE(silent.take().empty());
    EXPECT_LT(silent.p.next_output_us(0), 0);
}

TEST(SimLine, InjectedFaults) {
    sim::Config c;
    c.faults.nak_before_frame = 2;
    c.faults.corrupt_read_reply = 2;
    SimBench b(c);
    b.frame({0xC1});
    EXPECT_EQ(b.take(), Bytes({0}));
    b.vpp_on();  // frame 2 answered with NAK, not carried out
    EXPECT_EQ(b.take(), Bytes({21}));
    b.vpp_on();
    EXPECT_EQ(b.take(), Bytes({6}));
    bool ok = false;
    b.read(1, false, &ok);
    EXPECT_TRUE(ok);
    b.read(4, false, &ok);  // the second read reply
    EXPECT_FALSE(ok);
    b.read(4, false, &ok);
    EXPECT_TRUE(ok);

    c = sim::Config();
    c.faults.drop_reply_byte = 3;
    c.faults.stall_after_frame = 4;
    SimBench d(c);
    d.frame({0xC1});  // byte 1
    d.vpp_on();       // byte 2
    EXPECT_EQ(d.take(), Bytes({0, 6}));
    d.frame({0x44});  // bytes 3..5, byte 3 lost
    EXPECT_EQ(d.take().size(), 2u);
    d.frame({0xC0});  // frame 4 still answered, then silence
    EXPECT_EQ(d.take(), Bytes({6}));
    d.frame({0xC0});
    EXPECT_TRUE(d.take().empty());

    c = sim::Config();
    c.faults.vpp_on_fail = true;
    c.faults.hangup_after_frame = 3;
    c.faults.corrupt_echo_byte = 2;
    c.echo = true;
    SimBench v(c);
    v.frame({0xC1});
    EXPECT_EQ(v.take(), Bytes({0xC1, 0xC0, 0x00}));  // second echo byte inverted
    v.vpp_on();
    EXPECT_EQ(v.take(), Bytes({0xC3, 0x3D}));  // no ACK
    EXPECT_FALSE(v.p.vpp_on());
    EXPECT_FALSE(v.p.hung_up());
    v.frame({0xC0});
    EXPECT_TRUE(v.p.hung_up());
    v.frame({0xC0});
    EXPECT_EQ(v.take(), Bytes({0xC0, 0x40, 0x06}));  // nothing after the hang-up
}

TEST(SimLine, PacedLineTakesWireTimeDelaysAndLatency) {
    sim::Config c;
    c.paced = true;
    c.baud = 10000;  // 1 ms per byte
    c.latency_ms = 2;
    SimBench b(c);
    b.frame({0xC1});  // two bytes: complete at 2 ms
    EXPECT_EQ(b.p.available(4999), 0u);
    EXPECT_DOUBLE_EQ(b.p.next_output_us(0), 5000);  // + 2 ms latency + 1 ms wire
    EXPECT_EQ(b.p.read_byte(5000), 0);

    // A delay keeps the programmer busy: the sync after it is answered late.
    b.t = 10000;
    b.vpp_on();
    b.delay(5000);
    b.frame({0xC0});
    // VPP_ON done at 12 ms -> ACK at 15 ms; delay frame ends at 16 ms, busy
    // until 21 ms; the sync arrives at 18 ms and runs at 21 ms -> ACK at 24 ms.
    EXPECT_DOUBLE_EQ(b.p.next_output_us(10000), 15000);
    EXPECT_EQ(b.p.read_byte(15000), 6);
    EXPECT_EQ(b.p.available(23999), 0u);
    EXPECT_EQ(b.p.read_byte(24000), 6);

    // Reply bytes of one burst follow each other at the line rate.
    b.t = 30000;
    b.vpp_on();
    b.frame({0xD5, 2});
    b.frame({0x44});
    // Ack: frame done 32 ms, + 2 + 1 = 35 ms. Read frame done at 37 ms while
    // the line is idle again: first byte at 40 ms, then one per ms.
    EXPECT_EQ(b.p.available(35000), 1u);
    EXPECT_EQ(b.p.available(40000), 2u);
    EXPECT_EQ(b.p.available(43999), 5u);
    EXPECT_EQ(b.p.available(44000), 6u);

    // Elapsed wire time counts as waiting for the chip on a paced line.
    b.t = 50000;
    b.reset();
    b.load(0x0123);
    b.frame({0x08});
    b.t = 60000;
    b.frame({0x06});
    EXPECT_EQ(b.p.target().peek(0), 0x0123);
}

// The line's own rate wins over the host's; the status byte can come late;
// a reply can stop for a while after a given byte.
TEST(SimLine, DeviceRateProbeAnswerAndPauses) {
    sim::Config c;
    c.paced = true;
    c.baud = 9600;
    c.device_baud = 100000;  // 100 us a byte
    c.probe_answer_ms = 30;
    c.pause_after_byte = 3;  // the first byte of the read reply below
    c.pause_ms = 5;
    SimBench b(c);
    EXPECT_EQ(c.line_baud(), 100000);
    b.frame({0xC1});  // complete at 200 us, answered 30 ms later
    EXPECT_EQ(b.p.available(30299), 0u);
    EXPECT_DOUBLE_EQ(b.p.next_output_us(0), 30300);
    b.t = 40000;
    b.take();
    b.vpp_on();  // ACK at 40300
    b.frame({0x44});  // complete at 40400: a byte at 40500, 5 ms, then 45600 and 45700
    EXPECT_EQ(b.p.available(40500), 2u);
    EXPECT_EQ(b.p.available(45599), 2u);
    EXPECT_EQ(b.p.available(45600), 3u);
    EXPECT_EQ(b.p.available(45700), 4u);
    sim::Config same;
    same.baud = 57600;
    EXPECT_EQ(same.line_baud(), 57600);
}

TEST(SimLine, CalibrationTicksComeAtTheConfiguredRate) {
    for (double error : {0.0, 0.01, -0.02}) {
        sim::Config c;
        c.osccal_rate_error = error;
        SimBench b(c);
        b.vpp_on();
        b.take();
        b.frame({0xC7});
        const double period = 65536.0 / (1 + error);  // faster by `error`
        int ticks = 0;
        double t = 0, last = 0;
        // Follow the stream the way a host waits for it: to the next byte.
        while ((t = b.p.next_output_us(t)) >= 0 && t < period * 100.5) {
            int byte = b.p.read_byte(t);
            ASSERT_GE(byte, 0);
            EXPECT_NE(byte, 21);
            last = t;
            ++ticks;
        }
        EXPECT_EQ(ticks, 100) << error;
        EXPECT_NEAR(last, 100 * period, 1.0) << error;
        // The next frame ends the stream; its reply is the first byte after.
        b.t = period * 200.2;
        b.frame({0xC0});
        Bytes r = b.take();
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.size(), 101u);  // ticks up to the sync, then its ACK
        EXPECT_EQ(r.back(), 6);
        EXPECT_LT(b.p.next_output_us(b.t), 0);
    }
}

TEST(SimInproc, PortAndVirtualClock) {
    sim::Config c;
    c.paced = true;
    c.baud = 115200;
    inproc::reset(c);
    const unsigned char probe[] = {0xC1};
    EXPECT_EQ(port_write(probe, 1), 0);  // closed: nothing sent
    EXPECT_EQ(port_read_byte(), -1);
    EXPECT_EQ(port_open(0, 115200), 0);
    EXPECT_EQ(port_open(100, 115200), 0);
    ASSERT_EQ(port_open(7, 115200), 1);

    EXPECT_EQ(port_write_byte(0xC1), 1);
    platform_sleep_ms(20);
    EXPECT_EQ(port_rx_pending(), 0);
    EXPECT_EQ(port_write_byte(0x3F), 1);
    EXPECT_EQ(port_wait_rx(20), 1);
    double waited = inproc::now_us();
    EXPECT_LT(waited, 20000 + 2 * 87 + 100.0);  // woke at the byte, not after 20 ms
    EXPECT_GT(waited, 20000.0);
    EXPECT_EQ(port_read_byte(), 0);

    const unsigned char frames[] = {0xD4, 0x55, 0xD7, 0xC3, 0x3D};
    double before = inproc::now_us();
    EXPECT_EQ(port_write(frames, 5), 5);
    EXPECT_NEAR(inproc::now_us() - before, 5 * 1e7 / 115200, 0.01);
    EXPECT_EQ(port_wait_rx(5), 1);
    EXPECT_EQ(port_read_byte(), 6);
    EXPECT_EQ(port_wait_rx(5), 0);  // nothing more: the full 5 ms pass
    EXPECT_EQ(platform_clock_ms(), static_cast<long>(inproc::now_us() / 1000));

    ASSERT_EQ(inproc::host_writes().size(), 3u);
    EXPECT_EQ(inproc::host_writes()[2].size(), 5u);
    EXPECT_EQ(inproc::host_bytes().size(), 7u);
    inproc::clear_trace();
    EXPECT_TRUE(inproc::host_bytes().empty());
    EXPECT_TRUE(inproc::programmer().vpp_on());
    EXPECT_EQ(inproc::target().peek(0x8006), 0x2763);
    EXPECT_EQ(port_close(), 1);
    EXPECT_EQ(port_rx_pending(), 0);

    sim::Config h;
    h.faults.hangup_after_frame = 1;
    inproc::reset(h);
    ASSERT_EQ(port_open_path("/dev/null", 9600), 1);
    EXPECT_EQ(port_hung_up(), 0);
    port_write_from_signal(frames + 3, 2);
    EXPECT_EQ(port_hung_up(), 1);
}

}  // namespace
