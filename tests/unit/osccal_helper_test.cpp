// The calibration read-out against the emulated programmer's tick stream on
// the virtual clock. The key that ends it comes through stdin, which the test
// points at a pipe it writes to once enough lines have been printed.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <sstream>
#include <thread>
#include <vector>

#include "ops/osccal.h"
#include "protocol/protocol.h"
#include "write_fixture.h"

namespace opstest {
namespace {

// Runs the helper with stdout going to a pipe that a reader thread drains; once
// `key_after` lines have appeared, the thread writes a key into stdin.
std::vector<std::string> run_until_lines(int key_after) {
    int out[2], in[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(in), 0);
    std::fflush(stdout);
    int saved_out = dup(1), saved_in = dup(0);
    dup2(out[1], 1);
    dup2(in[0], 0);
    close(out[1]);
    close(in[0]);
    std::string text;
    std::thread reader([&] {
        char buf[4096];
        bool keyed = false;
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<size_t>(n));
            if (!keyed && std::count(text.begin(), text.end(), '\n') > key_after) {
                keyed = write(in[1], "k", 1) == 1;
            }
        }
    });
    run_osccal_helper();
    std::fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_in, 0);
    close(saved_out);
    close(saved_in);
    reader.join();
    close(out[0]);
    close(in[1]);
    std::vector<std::string> lines;
    std::istringstream s(text);
    std::string line;
    std::getline(s, line);  // the text before the first line end
    EXPECT_EQ(line, "");
    while (std::getline(s, line)) lines.push_back(line);
    return lines;
}

class OsccalHelper : public OpsTest {};

TEST_F(OsccalHelper, FirstTickLate) {
    connect(part("PIC16F1825"));
    // Time the first tick to land 66.5 ms after the start of the current
    // millisecond: 66 whole milliseconds have passed when it is read.
    double now = inproc::now_us();
    double period = (static_cast<long>(now / 1000) + 66) * 1000.0 + 500 - now;
    sim::Config c = part("PIC16F1825");
    c.osccal_rate_error = 65536.0 / period - 1;
    reset_records();
    connect(c);
    ASSERT_DOUBLE_EQ(inproc::now_us(), now);
    std::vector<std::string> lines = run_until_lines(1);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "-0.000464");
}

TEST_F(OsccalHelper, SinglePrecisionSum) {
    connect(part("PIC16F1825"));
    std::vector<std::string> lines = run_until_lines(1000);
    ASSERT_GE(lines.size(), 1000u);
    EXPECT_EQ(lines[0], "0.000536");  // 65.536 ms nominal, 65 ms counted
    // 1000 ticks, 65.536 s on the clock: the float sum is 65.53632354736328.
    EXPECT_EQ(lines[999], "0.000324");
    // The sync afterwards got its acknowledgement: the run went on.
    const std::vector<uint8_t>& sent = inproc::host_bytes();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[0], CMD_OSCCAL_HELPER);
    EXPECT_EQ(sent[sent.size() - 2], CMD_SYNC);
}

TEST_F(OsccalHelper, KeyBeforeAnyTick) {
    connect(part("PIC16F1825"));
    int saved_in = dup(0);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    close(null_in);
    std::string out = output_of(run_osccal_helper);
    dup2(saved_in, 0);
    close(saved_in);
    EXPECT_EQ(out, "");
    // The command, then the sync straight away.
    EXPECT_EQ(inproc::host_bytes(), (std::vector<uint8_t>{0xC7, 0x39, 0xC0, 0x40}));
}

TEST_F(OsccalHelper, LineGoneEndsTheWait) {
    // The programmer hangs up right after the helper command (frame 11 of
    // the run: the connect sequence takes frames 1 to 10). Without a key the
    // helper must not wait forever; the sync then reports the dead line.
    sim::Config c = part("PIC16F1825");
    c.faults.hangup_after_frame = 11;
    connect(c);
    EXPECT_EXIT(
        {
            alarm(10);
            int pipe_in[2];
            if (pipe(pipe_in) == 0) dup2(pipe_in[0], 0);  // a key that never comes
            dup2(2, 1);
            run_osccal_helper();
        },
        testing::ExitedWithCode(1), "communication error!");
}

}  // namespace
}  // namespace opstest
