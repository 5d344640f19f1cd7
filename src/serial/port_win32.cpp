// The serial port on Windows: \\.\COMn opened for exclusive, synchronous use,
// 8N1 with no flow control and DTR/RTS held off, reads that return at once.
#include "serial/port.h"
#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>

namespace {

HANDLE port_handle = INVALID_HANDLE_VALUE;
// Wire time of one byte (start, 8 data, stop bits) at the line's rate.
long byte_time_ns = 86806;

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

bool queue_counts(COMSTAT* status) {
    if (port_handle == INVALID_HANDLE_VALUE) return false;
    DWORD errors = 0;
    ZeroMemory(status, sizeof *status);
    return ClearCommError(port_handle, &errors, status) != 0;
}

}  // namespace

int port_open_path(const char* path, int baud) {
    if (port_handle != INVALID_HANDLE_VALUE) port_close();
    if (path == nullptr || path[0] == '\0' || baud <= 0) return 0;
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    if (!apply_line_settings(handle, baud) || !apply_timeouts(handle)) {
        CloseHandle(handle);
        return 0;
    }
    // The link polls in 5 ms steps; at the default timer resolution every
    // Sleep(5) would last a whole 15.6 ms tick.
    timeBeginPeriod(1);
    long long byte_ns = 10'000'000'000LL / baud;
    byte_time_ns = static_cast<long>(byte_ns < 1'000'000'000LL ? byte_ns : 1'000'000'000LL);
    port_handle = handle;
    return 1;
}

// \\.\COM<n>, n in decimal without leading zeros; only ports 1 to 99 exist.
int port_open(int number, int baud) {
    if (number < 1 || number > 99) return 0;
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    return port_open_path(name, baud);
}

int port_close() {
    if (port_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(port_handle);
        port_handle = INVALID_HANDLE_VALUE;
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
    if (!WriteFile(port_handle, buffer, static_cast<DWORD>(count), &done, nullptr)) return 0;
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

// On Windows the console handler runs on its own thread, where WriteFile is
// safe to call.
void port_write_from_signal(const unsigned char* buffer, int count) {
    DWORD done = 0;
    if (port_handle == INVALID_HANDLE_VALUE || count <= 0) return;
    WriteFile(port_handle, buffer, static_cast<DWORD>(count), &done, nullptr);
}
#endif
