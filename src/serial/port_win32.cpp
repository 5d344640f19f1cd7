// The serial port on Windows: \\.\COMn opened for exclusive, synchronous use,
// 8N1 with no flow control and DTR/RTS held off, reads that return at once.
#include "serial/port.h"
#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>

// The device and rate of the open port, for messages.
static char open_device[256];
static int open_baud = 0;

namespace {

HANDLE port_handle = INVALID_HANDLE_VALUE;
// Wire time of one byte (start, 8 data, stop bits) at the line's rate.
long byte_time_ns = 86806;

// A write that ended short (see port_unfinished_write). A synchronous
// WriteFile is not cut short by Ctrl+C, and one from the console handler's
// thread waits for the write in progress, so only a failed write is recorded.
const unsigned char* unfinished_buffer = nullptr;
int unfinished_count = 0;
int unfinished_taken = 0;

// One complete DCB, all zero but the fields the line needs: 8 data bits, no
// parity, one stop bit, binary mode. Every flow-control and modem-line flag
// stays 0, so DTR and RTS are off for as long as the port is open.
bool apply_line_settings(HANDLE handle, int baud) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    return SetCommState(handle, &dcb) != 0;
}

// MAXDWORD read interval with zero totals: a read returns at once with what
// the driver already holds. Zero write totals: a write has no time-out.
bool apply_timeouts(HANDLE handle) {
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

// Why the last open failed, for the diagnostic line.
char failed_device[256];
char failed_reason[256];

int refuse(const char* path, const char* reason) {
    std::snprintf(failed_device, sizeof failed_device, "%s", path);
    std::snprintf(failed_reason, sizeof failed_reason, "%s", reason);
    return 0;
}

// The system's own text for the last error, without its line end and full stop.
int refuse_last_error(const char* path) {
    DWORD error = GetLastError();
    char text[sizeof failed_reason];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' ||
                     text[n - 1] == ' '))
        --n;
    if (n == 0) {
        std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
    } else {
        text[n] = '\0';
    }
    return refuse(path, text);
}

bool queue_counts(COMSTAT* status) {
    if (port_handle == INVALID_HANDLE_VALUE) return false;
    DWORD errors = 0;
    ZeroMemory(status, sizeof *status);
    return ClearCommError(port_handle, &errors, status) != 0;
}

}  // namespace

int port_open_path(const char* path, int baud) {
    if (port_handle != INVALID_HANDLE_VALUE) port_close();
    failed_device[0] = failed_reason[0] = '\0';
    if (path == nullptr || path[0] == '\0') return refuse("/COM=", "no device path given");
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return refuse_last_error(path);
    if (!apply_line_settings(handle, baud) || !apply_timeouts(handle)) {
        refuse_last_error(path);
        CloseHandle(handle);
        return 0;
    }
    // The link polls in 5 ms steps; at the default timer resolution every
    // Sleep(5) would last a whole 15.6 ms tick.
    timeBeginPeriod(1);
    long long byte_ns = 10'000'000'000LL / baud;
    byte_time_ns = static_cast<long>(byte_ns < 1'000'000'000LL ? byte_ns : 1'000'000'000LL);
    port_handle = handle;
    std::snprintf(open_device, sizeof open_device, "%s", path);
    open_baud = baud;
    return 1;
}

// \\.\COM<n>, n in decimal without leading zeros; only ports 1 to 99 exist.
int port_open(int number, int baud) {
    char name[16];
    if (number < 1 || number > 99) {
        std::snprintf(name, sizeof name, "COM%d", number);
        return refuse(name, "ports are numbered 1 to 99");
    }
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    return port_open_path(name, baud);
}

const char* port_device() { return open_device; }
int port_baud() { return open_baud; }

// FlushFileBuffers returns once the driver has sent what it held, so no byte
// written at the old rate goes out at the new one. A rate the driver refuses
// leaves the port at the old rate when SetCommState takes that back; when it
// does not either, the rate is unknown and reported as 0.
int port_set_baud(int baud) {
    if (port_handle == INVALID_HANDLE_VALUE || baud <= 0) return 0;
    if (!FlushFileBuffers(port_handle)) return 0;
    if (!apply_line_settings(port_handle, baud)) {
        if (!apply_line_settings(port_handle, open_baud)) open_baud = 0;
        return 0;
    }
    long long byte_ns = 10'000'000'000LL / baud;
    byte_time_ns = static_cast<long>(byte_ns < 1'000'000'000LL ? byte_ns : 1'000'000'000LL);
    open_baud = baud;
    // Bytes that came at the old rate can only be garbled; where the driver
    // will not purge them they are read away.
    if (!PurgeComm(port_handle, PURGE_RXCLEAR)) {
        unsigned char stale[64];
        while (port_read(stale, sizeof stale) > 0) {
        }
    }
    return 1;
}

int port_close() {
    open_device[0] = '\0';
    open_baud = 0;
    if (port_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(port_handle);
        port_handle = INVALID_HANDLE_VALUE;
        unfinished_count = 0;
        timeEndPeriod(1);
    }
    return 1;
}

int port_read_byte() {
    unsigned char byte = 0;
    return port_read(&byte, 1) == 1 ? byte : -1;
}

int port_read(unsigned char* buffer, int count) {
    DWORD done = 0;
    if (port_handle == INVALID_HANDLE_VALUE || count <= 0) return 0;
    if (!ReadFile(port_handle, buffer, static_cast<DWORD>(count), &done, nullptr)) return 0;
    return static_cast<int>(done);
}

int port_write_byte(int byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    return port_write(&b, 1);
}

int port_write(const unsigned char* buffer, int count) {
    DWORD done = 0;
    if (port_handle == INVALID_HANDLE_VALUE || count <= 0) return 0;
    unfinished_count = 0;
    // A failed write still counts in `done` what the driver took before it.
    BOOL written = WriteFile(port_handle, buffer, static_cast<DWORD>(count), &done, nullptr);
    if (!written || static_cast<int>(done) < count) {
        unfinished_buffer = buffer;
        unfinished_taken = static_cast<int>(done);
        unfinished_count = count;
    }
    return static_cast<int>(done);
}

// ClearCommError also clears any line error (framing, overrun, parity) the
// driver holds; damaged data shows up in the link's own checks instead.
int port_rx_pending() {
    COMSTAT status;
    return queue_counts(&status) ? static_cast<int>(status.cbInQue) : 0;
}

int port_tx_pending() {
    COMSTAT status;
    return queue_counts(&status) ? static_cast<int>(status.cbOutQue) : 0;
}

// Polls the input-queue count in 1 ms steps, so a reply is seen within about
// a millisecond of its arrival.
int port_wait_rx(int ms) {
    int pending = port_rx_pending();
    for (int waited = 0; pending == 0 && waited < ms; ++waited) {
        Sleep(1);
        pending = port_rx_pending();
    }
    return pending;
}

// ClearCommError reports the driver's whole input queue; nothing is taken in
// ahead of the reads here.
int port_rx_fetch() { return port_rx_pending(); }

long port_byte_time_ns() { return byte_time_ns; }

// A vanished USB adapter makes every later ClearCommError fail; the link's
// reply time-out reports it, so no separate hang-up state is kept here.
int port_hung_up() { return 0; }

const char* port_failed_device() { return failed_device; }

const char* port_failed_reason() { return failed_reason; }

int port_unfinished_write(const unsigned char** buffer, int* taken) {
    if (unfinished_count <= 0) return 0;
    *buffer = unfinished_buffer;
    *taken = unfinished_taken;
    return unfinished_count;
}

// The adapter's latency timer is a setting of its driver that picup does not
// change on Windows (see the README), so there is nothing to give back.
void port_restore_from_signal() {}

// On Windows the console handler runs on its own thread, where WriteFile is
// safe to call.
void port_write_from_signal(const unsigned char* buffer, int count) {
    DWORD done = 0;
    if (port_handle == INVALID_HANDLE_VALUE || count <= 0) return;
    WriteFile(port_handle, buffer, static_cast<DWORD>(count), &done, nullptr);
}
#endif
