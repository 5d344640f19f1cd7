// Console key test and the interrupt flag on POSIX systems.
#include "platform/platform.h"
#ifndef _WIN32
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t interrupted = 0;
void (*last_resort_action)() = nullptr;

// Terminal mode saved by platform_key_begin, restored by platform_key_end and
// by a second Ctrl+C that ends the process at once.
termios saved_mode{};
volatile std::sig_atomic_t key_mode_active = 0;

// The signal mask before platform_hold_interrupts: a signal the parent process
// had blocked stays blocked after the release.
sigset_t mask_before_hold{};

void restore_terminal() {
    if (!key_mode_active) return;
    key_mode_active = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
}

// The first signal only raises the flag: the run notices it at its next poll
// and leaves through the exit handler, which switches VPP off. A second one
// while the flag is still up means the run is stuck; then the handler switches
// VPP off itself with async-signal-safe calls only, and ends the process.
void on_signal(int) {
    if (interrupted) {
        if (last_resort_action != nullptr) last_resort_action();
        restore_terminal();
        _exit(1);
    }
    interrupted = 1;
}

}  // namespace

void platform_key_begin() {
    if (key_mode_active || !isatty(STDIN_FILENO)) return;
    if (tcgetattr(STDIN_FILENO, &saved_mode) != 0) return;
    termios raw = saved_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) key_mode_active = 1;
}

// A key is waiting when stdin is readable. For a stdin that is not a terminal
// this also covers end of input and a closed stdin, so the calibration helper
// never waits for a key that cannot come.
int platform_key_pressed() {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return 0;
    return (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ? 1 : 0;
}

void platform_key_end() { restore_terminal(); }

void platform_catch_interrupts(void (*last_resort)()) {
    last_resort_action = last_resort;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking poll returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int platform_interrupted() { return interrupted ? 1 : 0; }

void platform_clear_interrupt() { interrupted = 0; }

// sigprocmask fails only for an invalid first argument, and both calls pass
// constants, so there is no failure to handle.
void platform_hold_interrupts() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, &mask_before_hold);
}

void platform_release_interrupts() { sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr); }

void platform_survive_closed_output() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0) std::perror("picup: SIGPIPE");
}
#endif
