// What the progress display needs to know about standard error on POSIX
// systems: whether a person is watching it on a terminal, and how wide it is.
#include "platform/platform.h"
#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>

bool platform_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

int platform_stderr_columns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}
#endif
