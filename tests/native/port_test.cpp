// The POSIX serial port against a pseudo-terminal: the test holds the master
// side where the programmer would be.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>

#include "serial/port.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class Port : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(pty.slave.empty()); }
    void TearDown() override { port_close(); }
    native::Pty pty;
};

TEST(PortClosed, EveryOperationIsHarmless) {
    port_close();
    EXPECT_EQ(port_close(), 1);
    EXPECT_EQ(port_write_byte(0xC2), 0);
    const unsigned char frame[2] = {0xC2, 0x3E};
    EXPECT_EQ(port_write(frame, 2), 0);
    port_write_from_signal(frame, 2);
    port_restore_from_signal();
    EXPECT_EQ(port_read_byte(), -1);
    unsigned char buffer[4];
    EXPECT_EQ(port_read(buffer, 4), 0);
    EXPECT_EQ(port_rx_pending(), 0);
    EXPECT_EQ(port_tx_pending(), 0);
    EXPECT_EQ(port_wait_rx(50), 0);
    EXPECT_EQ(port_set_baud(9600), 0);
}

TEST(PortClosed, NumbersOutsideOneTo99AreRefused) {
    for (int number : {0, 100, -1, 1000, -2147483647}) {
        EXPECT_EQ(port_open(number, 115200), 0) << number;
        EXPECT_EQ(port_write_byte(0x55), 0) << "a port was left open for " << number;
    }
    EXPECT_EQ(port_open_path("/nonexistent/tty", 115200), 0);
    EXPECT_EQ(port_open_path("/dev/null", 115200), 0);  // not a terminal
    EXPECT_EQ(port_write_byte(0x55), 0);
}

// Every byte value passes unchanged both ways: no CR/LF translation, no
// XON/XOFF eaten, no eighth bit stripped, no echo.
TEST_F(Port, EveryByteValuePassesBothWays) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 115200), 1);
    EXPECT_EQ(port_read_byte(), -1);
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(port_write(all, 256), 256);
    EXPECT_EQ(pty.read_master(256), std::string(reinterpret_cast<char*>(all), 256));

    ASSERT_EQ(write(pty.master, all, 256), 256);
    auto start = Clock::now();
    while (port_rx_pending() < 256 && elapsed_ms(start) < 2000) port_wait_rx(5);
    EXPECT_EQ(port_rx_pending(), 256);
    EXPECT_EQ(port_read_byte(), 0);
    unsigned char rest[255];
    EXPECT_EQ(port_read(rest, 255), 255);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 255),
              std::string(reinterpret_cast<char*>(all) + 1, 255));
    EXPECT_EQ(port_rx_pending(), 0);
    EXPECT_EQ(pty.read_master(1, 50), "") << "the port echoed input";
    EXPECT_EQ(port_write_byte(0x3E), 1);
    EXPECT_EQ(pty.read_master(1), ">");
    EXPECT_EQ(port_hung_up(), 0);
}

TEST_F(Port, WaitReturnsWhenAByteArrivesOrAfterItsTime) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 9600), 1);
    auto start = Clock::now();
    EXPECT_EQ(port_wait_rx(120), 0);
    EXPECT_GE(elapsed_ms(start), 100);

    std::thread programmer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        unsigned char reply = 0x06;
        EXPECT_EQ(write(pty.master, &reply, 1), 1);
    });
    start = Clock::now();
    int pending = port_wait_rx(3000);
    long waited = elapsed_ms(start);
    programmer.join();
    EXPECT_EQ(pending, 1);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(port_read_byte(), 0x06);
}

// The link watches a reply come in while the first bytes still wait unread:
// the fetch asks the driver each time, and the byte time follows the rate.
TEST_F(Port, FetchCountsBytesThatArriveBehindUnreadOnes) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 9600), 1);
    EXPECT_EQ(port_byte_time_ns(), 10'000'000'000L / 9600);
    EXPECT_EQ(port_rx_fetch(), 0);
    ASSERT_EQ(write(pty.master, "\x01\x02\x03", 3), 3);
    auto start = Clock::now();
    while (port_rx_fetch() < 3 && elapsed_ms(start) < 2000) port_wait_rx(5);
    EXPECT_EQ(port_read_byte(), 0x01);
    ASSERT_EQ(write(pty.master, "\x04\x05\x06\x07", 4), 4);
    start = Clock::now();
    while (port_rx_fetch() < 6 && elapsed_ms(start) < 2000) port_wait_rx(5);
    EXPECT_EQ(port_rx_fetch(), 6);
    unsigned char rest[6];
    EXPECT_EQ(port_read(rest, 6), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 6), "\x02\x03\x04\x05\x06\x07");
    EXPECT_EQ(port_rx_fetch(), 0);
    port_close();
    EXPECT_EQ(port_rx_fetch(), 0);
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 1000000), 1);
    EXPECT_EQ(port_byte_time_ns(), 10000);
}

// Another process (a second picup, even one running as root) cannot take the
// port while it is open, and a refused or closed open leaves no lock behind.
TEST_F(Port, SecondOpenIsRefused) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 115200), 1);
    std::string slave = pty.slave;
    auto second = native::run_child([slave] {
        port_close();  // the child's copy; the parent still holds the device
        std::printf("%d", port_open_path(slave.c_str(), 115200));
    });
    EXPECT_EQ(second.out, "0");
    int other = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {  // root passes TIOCEXCL; the lock still stops it
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    port_close();
    other = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port_open_path(slave.c_str(), 115200), 0);  // now the test holds it
    close(other);
    EXPECT_EQ(port_open_path(slave.c_str(), 115200), 1);
}

TEST_F(Port, HangUpIsSeenWhenTheOtherSideCloses) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 115200), 1);
    EXPECT_EQ(port_wait_rx(20), 0);
    EXPECT_EQ(port_hung_up(), 0);
    pty.close_master();
    auto start = Clock::now();
    port_wait_rx(2000);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_NE(port_hung_up(), 0);
    unsigned char frame[300] = {};
    start = Clock::now();
    port_write(frame, 300);  // must not block on a device that is gone
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(port_read_byte(), -1);
}

// Any rate the driver takes is fine; one it does not take fails cleanly and
// leaves the device free for the next open.
TEST_F(Port, UnusualBaudRatesAreSetOrRefusedCleanly) {
    for (int baud : {31250, 250000, 76800, 1200}) {
        int opened = port_open_path(pty.slave.c_str(), baud);
        port_close();
        if (!opened) {
            int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(other, 0) << baud;
            EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "lock left behind at " << baud;
            close(other);
        }
#ifdef __linux__
        EXPECT_EQ(opened, 1) << baud;  // a Linux pty takes any rate
#endif
    }
    for (int baud : {0, -9600}) EXPECT_EQ(port_open_path(pty.slave.c_str(), baud), 0) << baud;
    EXPECT_EQ(port_open_path(pty.slave.c_str(), 115200), 1);
}

// A new rate reaches the driver (a Linux pty shows the slave's rate on the
// master), input that came at the old rate is dropped, bytes written before
// the change are not lost, and a rate that cannot be set leaves the old one.
TEST_F(Port, RateChangesReachTheLineAndDropOldInput) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 9600), 1);
    port_write_byte(0xC1);
    ASSERT_EQ(write(pty.master, "\x55\xAA", 2), 2);
    ASSERT_GT(port_wait_rx(1000), 0);
    ASSERT_EQ(port_set_baud(115200), 1);
    EXPECT_EQ(pty.read_master(1), "\xC1");
    EXPECT_EQ(port_baud(), 115200);
    EXPECT_EQ(port_byte_time_ns(), 10'000'000'000L / 115200);
    termios mode{};
    ASSERT_EQ(tcgetattr(pty.master, &mode), 0);
    EXPECT_EQ(cfgetospeed(&mode), static_cast<speed_t>(B115200));
    EXPECT_EQ(port_read_byte(), -1) << "input from the old rate was kept";
    EXPECT_EQ(port_set_baud(0), 0);
    EXPECT_EQ(port_set_baud(-9600), 0);
    EXPECT_EQ(port_baud(), 115200);
    ASSERT_EQ(tcgetattr(pty.master, &mode), 0);
    EXPECT_EQ(cfgetospeed(&mode), static_cast<speed_t>(B115200));
#ifdef __linux__
    ASSERT_EQ(port_set_baud(250000), 1);  // outside the B-constants
    EXPECT_EQ(port_baud(), 250000);
#endif
    // The line still carries bytes both ways at the new rate.
    port_write_byte(0x3F);
    EXPECT_EQ(pty.read_master(1), "?");
    ASSERT_EQ(write(pty.master, "\x06", 1), 1);
    ASSERT_GT(port_wait_rx(1000), 0);
    EXPECT_EQ(port_read_byte(), 0x06);
}

TEST_F(Port, WriteFromSignalReachesTheDevice) {
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 115200), 1);
    const unsigned char frame[2] = {0xC2, 0x3E};
    port_write_from_signal(frame, 2);
    EXPECT_EQ(pty.read_master(2), "\xC2\x3E");
    // A pseudo-terminal refuses low-latency mode, so the last-resort exit has
    // nothing to give back, and the port goes on working.
    port_restore_from_signal();
    EXPECT_EQ(port_write_byte(0x55), 1);
    EXPECT_EQ(pty.read_master(1), "\x55");
}

}  // namespace

// Exclusive mode belongs to the terminal and outlives the descriptor while
// anything else holds the terminal open (here the watcher, under --serve the
// emulator): left set, every later open by an ordinary user fails with EBUSY.
TEST_F(Port, CloseLeavesExclusiveMode) {
    int watcher = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watcher, 0);
    ASSERT_EQ(port_open_path(pty.slave.c_str(), 115200), 1);
    int exclusive = 0;
    ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);
    port_close();
    ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(watcher);
}
