// The serial port on POSIX systems (termios). The programmer wants 8N1 at the
// chosen rate, no flow control and DTR/RTS held off; reads must return at once
// and writes block until the driver holds every byte.
#include "serial/port.h"
#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/prctl.h>
#endif

// The device and rate of the open port, for messages.
static char open_device[256];
static int open_baud = 0;

namespace {

// Read from the last-resort signal handler, hence sig_atomic_t.
volatile std::sig_atomic_t port_fd = -1;

// The write not yet gone out whole (see port_unfinished_write), also read by
// the last-resort handler. Changed only while the interrupt signals are held,
// so the handler sees the bytes the driver has taken exactly.
const unsigned char* volatile unfinished_buffer = nullptr;
volatile std::sig_atomic_t unfinished_count = 0;
volatile std::sig_atomic_t unfinished_taken = 0;
int hung_up = 0;
// Wire time of one byte (start, 8 data, stop bits) at the line's rate.
long byte_time_ns = 86806;

// Bytes taken from the driver but not handed out yet. One read() takes all
// that is there, so a burst of reply bytes costs one system call, not one
// (plus a queue-count query) per byte.
unsigned char rx_buffer[256];
// This run switched the driver to low latency and must switch it back.
volatile std::sig_atomic_t low_latency_set = 0;
int rx_head = 0;
int rx_count = 0;

// The link asks for waiting input before every frame it queues, often a
// hundred times within a fraction of a millisecond. Bytes cannot arrive faster
// than the line carries them, so an answer of "nothing waiting" stands for half
// a byte's wire time before the driver is asked again; that saves a system call
// per frame and delays nothing a programmer could notice.
long long empty_answer_ns = -1;

long long monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

// A read or poll that reports EIO/ENXIO/POLLHUP means the device has gone
// (USB adapter pulled, the other side of a pseudo-terminal closed).
void note_error(int error) {
    if (error == EIO || error == ENXIO) hung_up = 1;
}

void note_revents(short revents) {
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) hung_up = 1;
}

// Reads what the driver holds into the free end of rx_buffer; never waits.
void fill_rx() {
    if (rx_count == 0) rx_head = 0;
    int space = static_cast<int>(sizeof rx_buffer) - rx_head - rx_count;
    if (space <= 0 && rx_head > 0) {
        std::memmove(rx_buffer, rx_buffer + rx_head, static_cast<size_t>(rx_count));
        rx_head = 0;
        space = static_cast<int>(sizeof rx_buffer) - rx_count;
    }
    if (space <= 0) return;
    empty_answer_ns = -1;
    ssize_t n = read(port_fd, rx_buffer + rx_head + rx_count, static_cast<size_t>(space));
    if (n > 0) rx_count += static_cast<int>(n);
    else if (n < 0) note_error(errno);
}

int driver_pending() {
    int count = 0;
    if (ioctl(port_fd, FIONREAD, &count) != 0) {
        note_error(errno);
        return 0;
    }
    return count;
}

// Why the last open failed, for the diagnostic line: the device tried and the
// OS's reason or the step that was refused.
char failed_device[256];
char failed_reason[160];

int refuse(const char* path, const char* reason) {
    std::snprintf(failed_device, sizeof failed_device, "%s", path);
    std::snprintf(failed_reason, sizeof failed_reason, "%s", reason);
    return 0;
}

// A device the user may not open: the remedy is membership of the group that
// owns it (dialout on most distributions, uucp on some).
int refuse_permission(const char* path) {
    struct stat info {};
    const group* owner = stat(path, &info) == 0 ? getgrgid(info.st_gid) : nullptr;
    char reason[sizeof failed_reason];
    if (owner != nullptr && owner->gr_gid != 0) {
        std::snprintf(reason, sizeof reason, "%s (add yourself to the %s group)",
                      std::strerror(EACCES), owner->gr_name);
    } else {
        std::snprintf(reason, sizeof reason, "%s", std::strerror(EACCES));
    }
    return refuse(path, reason);
}

int refuse_error(const char* path, int error) {
    if (error == EACCES) return refuse_permission(path);
    if (error == EBUSY || error == EWOULDBLOCK) {
        char reason[sizeof failed_reason];
        std::snprintf(reason, sizeof reason, "%s (another program is using the port)",
                      std::strerror(EBUSY));
        return refuse(path, reason);
    }
    return refuse(path, std::strerror(error));
}

int fail_open(int fd, const char* path, const char* reason) {
    close(fd);
    return refuse(path, reason);
}

int fail_open_error(int fd, const char* path) {
    int error = errno;
    close(fd);
    return refuse_error(path, error);
}

speed_t standard_speed(int baud) {
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
#ifdef B460800
        case 460800: return B460800;
#endif
#ifdef B500000
        case 500000: return B500000;
#endif
#ifdef B921600
        case 921600: return B921600;
#endif
#ifdef B1000000
        case 1000000: return B1000000;
#endif
        default: return B0;
    }
}

// Raw 8N1: no echo, no line editing, no character translation, no parity,
// no flow control in either direction; the modem lines are not watched.
void make_raw(termios& mode) {
    cfmakeraw(&mode);
    mode.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    mode.c_iflag |= IGNBRK;
    mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
#ifdef CRTSCTS
    mode.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    mode.c_cflag |= CS8 | CLOCAL | CREAD;
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
}

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
// Linux sets any rate with the termios2 record and the BOTHER speed code.
// <asm/termbits.h> clashes with <termios.h>, so the kernel record is declared
// here; this layout holds for the architectures listed above.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44, "unexpected termios2 layout");
constexpr unsigned long GET_TERMIOS2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long SET_TERMIOS2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t SPEED_MASK = 0010017;    // CBAUD
constexpr tcflag_t SPEED_OTHER = 0010000;   // BOTHER: rate in c_ispeed/c_ospeed
constexpr tcflag_t INPUT_SPEED_SHIFT = 16;  // IBSHIFT

// The driver may round to the nearest rate its divider can make; up to 3 %
// off is still a working UART link, more is a refusal.
bool close_enough(unsigned got, int want) {
    long diff = static_cast<long>(got) - want;
    if (diff < 0) diff = -diff;
    return diff * 100 <= static_cast<long>(want) * 3;
}

bool set_other_speed(int fd, int baud) {
    KernelTermios2 mode{};
    if (ioctl(fd, GET_TERMIOS2, &mode) != 0) return false;
    mode.c_cflag &= ~(SPEED_MASK | (SPEED_MASK << INPUT_SPEED_SHIFT));
    mode.c_cflag |= SPEED_OTHER | (SPEED_OTHER << INPUT_SPEED_SHIFT);
    mode.c_ispeed = static_cast<speed_t>(baud);
    mode.c_ospeed = static_cast<speed_t>(baud);
    if (ioctl(fd, SET_TERMIOS2, &mode) != 0) return false;
    KernelTermios2 check{};
    if (ioctl(fd, GET_TERMIOS2, &check) != 0) return false;
    return close_enough(check.c_ospeed, baud) && close_enough(check.c_ispeed, baud);
}
#else
bool set_other_speed(int, int) { return false; }
#endif

// Applies raw 8N1 at `baud`. A rate the driver does not take is a failure:
// tcsetattr reports success when any part of the change took, so the rate is
// read back.
bool set_line(int fd, int baud) {
    termios mode{};
    if (tcgetattr(fd, &mode) != 0) return false;
    make_raw(mode);
    speed_t speed = standard_speed(baud);
    if (speed != B0 && cfsetspeed(&mode, speed) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &mode) != 0) return false;
    if (speed == B0) return set_other_speed(fd, baud);
    termios check{};
    if (tcgetattr(fd, &check) != 0) return false;
    return cfgetospeed(&check) == speed && (check.c_cflag & CSIZE) == CS8;
}

// Serial drivers buffer received bytes for a few milliseconds before handing
// them on: a USB adapter's latency timer holds a short reply back up to 16 ms,
// and the host waits for a reply a few hundred times in a whole-chip upload.
// Low-latency mode hands each byte on at once (an FTDI driver sets its timer
// to 1 ms). Drivers that do not know it, or refuse it (a pseudo-terminal),
// are left alone. The flag is the driver's, kept across opens, so it is set
// only for this run and taken back when the port closes.
void ask_low_latency(int fd) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    if (info.flags & ASYNC_LOW_LATENCY) return;  // already on: the user's setting
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) == 0) low_latency_set = 1;
#else
    (void)fd;
#endif
}

// Only the flag this run set is cleared; the driver's other settings may
// have been changed meanwhile by someone else and stay. Async-signal-safe
// (one ioctl pair), for the last-resort exit as well.
void give_back_low_latency(int fd) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    if (!low_latency_set) return;
    low_latency_set = 0;
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
#else
    (void)fd;
#endif
}

// The link sleeps through the bytes of a reply as they come in, often for a
// few hundred microseconds; Linux lets a sleep run 50 us late by default so
// that it can batch wake-ups, more than half a byte's time at 115200 baud.
// Asking for 1 us keeps the sleeps on time.
void ask_punctual_wakeups() {
#ifdef __linux__
    int refused = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    (void)refused;  // the sleeps are then merely a little late
#endif
}

// Dropping DTR and RTS: the programmer must not see a modem handshake or a
// reset pulse. A pseudo-terminal has no modem lines; that failure is harmless.
void drop_modem_lines(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
}

// Waits until the driver can take more bytes; false when it never will.
bool wait_writable(int fd) {
    for (;;) {
        if (platform_interrupted()) return false;
        pollfd p{fd, POLLOUT, 0};
        int n = poll(&p, 1, 100);
        if (n < 0 && errno != EINTR) return false;
        if (n <= 0) continue;
        if (p.revents & POLLOUT) return true;
        note_revents(p.revents);
        return false;
    }
}

}  // namespace

// Opens the device for this process alone: flock keeps out a second picup even
// when it runs as root, TIOCEXCL keeps out other programs that do not lock.
int port_open_path(const char* path, int baud) {
    if (port_fd >= 0) port_close();
    failed_device[0] = failed_reason[0] = '\0';
    if (path == nullptr || path[0] == '\0') return refuse("/COM=", "no device path given");
    char rate[64];
    std::snprintf(rate, sizeof rate, "the port cannot be set to %d baud", baud);
    if (baud <= 0) return refuse(path, rate);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse_error(path, errno);
    if (!isatty(fd)) return fail_open(fd, path, "not a serial port");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail_open_error(fd, path);
    if (ioctl(fd, TIOCEXCL) != 0) return fail_open_error(fd, path);
    drop_modem_lines(fd);
    if (!set_line(fd, baud)) return fail_open(fd, path, rate);
    drop_modem_lines(fd);
    ask_low_latency(fd);
    ask_punctual_wakeups();
    hung_up = 0;
    rx_head = rx_count = 0;
    empty_answer_ns = -1;
    byte_time_ns = 10'000'000'000L / baud;
    port_fd = fd;
    std::snprintf(open_device, sizeof open_device, "%s", path);
    open_baud = baud;
    return 1;
}

// COM<n> is the n-th serial port: /dev/ttyS<n-1>.
int port_open(int number, int baud) {
    char path[32];
    if (number < 1 || number > 99) {
        std::snprintf(path, sizeof path, "COM%d", number);
        return refuse(path, "ports are numbered 1 to 99");
    }
    std::snprintf(path, sizeof path, "/dev/ttyS%d", number - 1);
    return port_open_path(path, baud);
}

const char* port_device() { return open_device; }
int port_baud() { return open_baud; }

// tcsetattr with TCSANOW would send bytes still queued at the new rate, so the
// queue is drained first. A rate the driver refuses leaves the line as it was
// only when the old rate is put back (set_line may have half applied the new
// one); a line that takes neither is of no further use and counts as gone.
int port_set_baud(int baud) {
    int fd = port_fd;
    if (fd < 0 || baud <= 0) return 0;
    while (tcdrain(fd) != 0) {
        if (errno != EINTR || platform_interrupted()) return 0;
    }
    if (!set_line(fd, baud)) {
        if (!set_line(fd, open_baud)) hung_up = 1;
        return 0;
    }
    // Bytes that came at the old rate can only be garbled; where the driver
    // will not flush them they are read away.
    rx_head = rx_count = 0;
    if (tcflush(fd, TCIFLUSH) != 0) {
        note_error(errno);
        unsigned char stale[64];
        while (read(fd, stale, sizeof stale) > 0) {
        }
    }
    empty_answer_ns = -1;
    byte_time_ns = 10'000'000'000L / baud;
    open_baud = baud;
    return 1;
}

int port_close() {
    open_device[0] = '\0';
    open_baud = 0;
    if (port_fd >= 0) {
        int fd = port_fd;
        port_fd = -1;
        give_back_low_latency(fd);
        // The exclusive mode belongs to the terminal, not to this descriptor:
        // it outlives the close wherever something else keeps the terminal
        // open (a pseudo-terminal's other side, a getty), and then every later
        // open by anyone but root fails with EBUSY.
        ioctl(fd, TIOCNXCL);
        close(fd);
    }
    rx_head = rx_count = 0;
    unfinished_count = 0;
    return 1;
}

int port_read_byte() {
    if (port_fd < 0) return -1;
    if (rx_count == 0) fill_rx();
    if (rx_count == 0) return -1;
    --rx_count;
    return rx_buffer[rx_head++];
}

int port_read(unsigned char* buffer, int count) {
    if (port_fd < 0 || count <= 0) return 0;
    int done = rx_count < count ? rx_count : count;
    std::memcpy(buffer, rx_buffer + rx_head, static_cast<size_t>(done));
    rx_head += done;
    rx_count -= done;
    if (done == count) return done;
    ssize_t n = read(port_fd, buffer + done, static_cast<size_t>(count - done));
    if (n < 0) note_error(errno);
    return n > 0 ? done + static_cast<int>(n) : done;
}

int port_write_byte(int byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    return port_write(&b, 1);
}

namespace {

void note_write_start(const unsigned char* buffer, int count) {
    platform_hold_interrupts();
    unfinished_buffer = buffer;
    unfinished_taken = 0;
    unfinished_count = count;
    platform_release_interrupts();
}

// One write() and the count of what it took, as one step for a signal handler.
ssize_t write_counted(const unsigned char* buffer, int done, int count) {
    platform_hold_interrupts();
    ssize_t n = write(port_fd, buffer + done, static_cast<size_t>(count - done));
    int error = errno;
    if (n > 0) {
        unfinished_taken = done + static_cast<int>(n);
        if (unfinished_taken == count) unfinished_count = 0;
    }
    platform_release_interrupts();
    errno = error;
    return n;
}

}  // namespace

// Loops until the driver holds every byte. It gives up only when the device
// has gone or the user interrupts, since nothing else will unblock it.
int port_write(const unsigned char* buffer, int count) {
    if (port_fd < 0 || count <= 0) return 0;
    note_write_start(buffer, count);
    int done = 0;
    while (done < count) {
        ssize_t n = write_counted(buffer, done, count);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            note_error(errno);
            break;
        }
        if (!wait_writable(port_fd)) break;
    }
    return done;
}

// Bytes already taken from the driver count first; the driver is asked only
// when none are left, or when the buffer is full and more may wait behind it.
int port_rx_pending() {
    if (port_fd < 0) return 0;
    if (rx_count > 0 && rx_head + rx_count < static_cast<int>(sizeof rx_buffer)) return rx_count;
    long long now = 0;
    if (rx_count == 0) {
        now = monotonic_ns();
        if (empty_answer_ns >= 0 && now - empty_answer_ns < byte_time_ns / 2) return 0;
    }
    int pending = rx_count + driver_pending();
    empty_answer_ns = pending == 0 ? now : -1;
    return pending;
}

int port_tx_pending() {
    int count = 0;
    if (port_fd < 0 || ioctl(port_fd, TIOCOUTQ, &count) != 0) return 0;
    return count;
}

// poll() returns at once when input is already there, so there is no need to
// ask first; what arrived is read straight into the buffer.
int port_wait_rx(int ms) {
    if (port_fd < 0) return 0;
    if (rx_count > 0 || hung_up) return port_rx_pending();
    pollfd p{port_fd, POLLIN, 0};
    if (poll(&p, 1, ms < 0 ? 0 : ms) <= 0) return 0;
    note_revents(p.revents);
    if (p.revents & POLLIN) fill_rx();
    return port_rx_pending();
}

int port_rx_fetch() {
    if (port_fd < 0) return 0;
    fill_rx();
    bool full = rx_head + rx_count >= static_cast<int>(sizeof rx_buffer);
    return rx_count + (full ? driver_pending() : 0);
}

long port_byte_time_ns() { return byte_time_ns; }

int port_hung_up() { return hung_up; }

const char* port_failed_device() { return failed_device; }

const char* port_failed_reason() { return failed_reason; }

int port_unfinished_write(const unsigned char** buffer, int* taken) {
    int count = unfinished_count;
    if (count <= 0) return 0;
    *buffer = unfinished_buffer;
    *taken = unfinished_taken;
    return count;
}

void port_restore_from_signal() {
    int fd = port_fd;
    if (fd >= 0) give_back_low_latency(fd);
}

void port_write_from_signal(const unsigned char* buffer, int count) {
    int fd = port_fd;
    if (fd < 0) return;
    while (count > 0) {
        ssize_t n = write(fd, buffer, static_cast<size_t>(count));
        if (n <= 0) return;
        buffer += n;
        count -= static_cast<int>(n);
    }
}
#endif
