// The OS layer: text compare, clock and sleep, the key test on a stdin that is
// not a terminal, and the interrupt flag with its last-resort exit.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "ui/fail.h"
#include "test_support.h"

namespace {

int sign(int value) { return (value > 0) - (value < 0); }

TEST(PlatformText, CaseInsensitiveCompareLikeTheRuntime) {
    EXPECT_EQ(platform_strnicmp("com4", "COM", 3), 0);
    EXPECT_EQ(platform_strnicmp("bUlKeRaSe", "BULKERASE", 9), 0);
    EXPECT_EQ(platform_strnicmp("anything", "OTHER", 0), 0);
    EXPECT_LT(platform_strnicmp("CO", "COM", 3), 0);  // shorter text ends first
    EXPECT_GT(platform_strnicmp("D", "com", 3), 0);
    EXPECT_EQ(platform_strnicmp("Log\n", "LOG", 3), 0);
    // Only ASCII letters fold: '[' (0x5B) and '{' (0x7B) stay different.
    EXPECT_NE(platform_strnicmp("[", "{", 1), 0);
    EXPECT_EQ(platform_stricmp("help", "HELP"), 0);
    EXPECT_NE(platform_stricmp("HELPME", "HELP"), 0);
    EXPECT_NE(platform_stricmp("HELP\n", "HELP"), 0);
    EXPECT_NE(platform_stricmp("HEL", "HELP"), 0);
    EXPECT_EQ(sign(platform_stricmp("abc", "ABD")), -1);
    EXPECT_EQ(sign(platform_stricmp("b", "A")), 1);
    // Bytes above 0x7F order after ASCII, as unsigned characters do.
    EXPECT_GT(platform_stricmp("\xE9", "z"), 0);
}

TEST(PlatformClock, SleepLastsAndTheClockMovesForward) {
    long start = platform_clock_ms();
    platform_sleep_ms(30);
    long after = platform_clock_ms();
    EXPECT_GE(after - start, 29);
    EXPECT_LT(after - start, 1000);
    platform_sleep_ms(0);
    platform_sleep_ms(-5);
    EXPECT_LT(platform_clock_ms() - after, 20);
}

// With stdin on a pipe, any byte or the end of input is the key.
TEST(PlatformKey, PipeInputCountsAsKeyAndEndOfInputToo) {
    auto result = native::run_child([] {
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        dup2(fds[0], 0);
        platform_key_begin();
        std::printf("%d", platform_key_pressed());
        if (write(fds[1], "k", 1) != 1) _exit(2);
        std::printf("%d", platform_key_pressed());
        char c;
        if (read(0, &c, 1) != 1) _exit(2);
        std::printf("%d", platform_key_pressed());
        close(fds[1]);
        std::printf("%d", platform_key_pressed());
        platform_key_end();
        platform_key_end();
        std::fflush(stdout);
        _exit(0);
    });
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, "0101");
}

void say_last_resort() {
    const char text[] = "last resort";
    ssize_t ignored = write(1, text, sizeof text - 1);
    (void)ignored;
}

// One signal only raises the flag; the run leaves at its next poll with the
// message. A second one while the flag is up ends the process at once, after
// the last-resort action.
TEST(PlatformInterrupt, FirstSignalFlagsSecondEndsTheProcess) {
    auto first = native::run_child([] {
        platform_catch_interrupts(say_last_resort);
        std::printf("%d", platform_interrupted());
        check_interrupt();
        std::raise(SIGTERM);
        std::printf("%d", platform_interrupted());
        platform_clear_interrupt();
        std::printf("%d", platform_interrupted());
        std::raise(SIGHUP);
        check_interrupt();
        std::printf("not reached");
    });
    EXPECT_EQ(first.code, 1);
    EXPECT_EQ(first.out, "010\nInterrupted!\n");

    auto second = native::run_child([] {
        platform_catch_interrupts(say_last_resort);
        std::raise(SIGINT);
        std::printf("flagged ");
        std::fflush(stdout);
        std::raise(SIGINT);
        std::printf("not reached");
    });
    EXPECT_EQ(second.code, 1);
    EXPECT_EQ(second.out, "flagged last resort");
}

// A signal cuts a sleep short only when it is an interrupt: the caller's next
// poll must see it at once.
TEST(PlatformInterrupt, InterruptEndsASleepEarly) {
    auto result = native::run_child([] {
        platform_catch_interrupts(say_last_resort);
        pid_t self = getpid();
        if (fork() == 0) {
            usleep(50000);
            kill(self, SIGINT);
            _exit(0);
        }
        long start = platform_clock_ms();
        platform_sleep_ms(3000);
        std::printf("%d %d", platform_interrupted(), platform_clock_ms() - start < 2000 ? 1 : 0);
        std::fflush(stdout);
        _exit(0);
    });
    EXPECT_EQ(result.out, "1 1");
}

}  // namespace
