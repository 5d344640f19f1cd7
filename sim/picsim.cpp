// picsim: serves the emulated programmer on a pseudo-terminal and runs a
// command against it, or just serves until it is stopped (--serve).
//
//   picsim [options] -- picup /INFO blinky.hex
//
// The command gets /COM=<pty path> /NOSTORE appended (the port is used for this
// run only, not stored in picup.cfg), or the path substituted where an
// argument contains {port}. When the command ends, picsim prints what changed
// in the target's memory and the traffic totals, and exits with its exit code.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/hexfile.h"
#include "sim/sim.h"

namespace {

struct Options {
    sim::Config config;
    std::vector<std::string> command;
    std::vector<std::pair<int, int>> pokes;
    std::string load, save, state, report;
    bool serve = false;
};

const char* const kHelp =
    "usage: picsim [options] -- COMMAND [ARGS...]\n"
    "       picsim [options] --serve\n"
    "\n"
    "Serves an emulated programmer with a target chip on a pseudo-terminal and\n"
    "runs COMMAND against it. COMMAND gets /COM=<pty path> /NOSTORE appended (so\n"
    "picup.cfg keeps the user's own port), unless an argument contains {port},\n"
    "which is replaced by the path. picsim exits with\n"
    "the command's exit code and prints a summary of the run on stderr.\n"
    "\n"
    "Target:\n"
    "  --part NAME            target chip (default PIC16F1825)\n"
    "  --id HEX               device ID word at 0x8006 (default: the part's own)\n"
    "  --load FILE.hex        preload target memory (picup's address map)\n"
    "  --save FILE.hex        write the programmed cells at the end\n"
    "  --state FILE           keep memory between runs: read when it exists,\n"
    "                         written at the end\n"
    "  --poke ADDR=VALUE      set one cell before the run (hex; repeatable)\n"
    "Programmer and line:\n"
    "  --status HEX           status byte answered to the probe (default 0)\n"
    "  --echo                 the line echoes every byte the host sends\n"
    "  --loopback             echo only, no programmer behind the line\n"
    "  --silent               nothing attached: no byte ever comes back\n"
    "  --paced                10 bits per byte at the line's rate, delays take time\n"
    "  --baud N               line speed for --paced (default 115200): the rate\n"
    "                         the host is set to\n"
    "  --device-baud N        the line really runs at N, whatever the host is set\n"
    "                         to (a programmer on native USB, or a host /BAUD=\n"
    "                         below the programmer's rate): reply bytes come one\n"
    "                         by one at N's spacing\n"
    "  --programmer-baud N    the programmer's UART runs at N: it reads nothing the\n"
    "                         host sends while the host's port is set to another\n"
    "                         rate (the echo of --echo still comes back)\n"
    "  --latency MS           adapter turnaround before each burst of replies\n"
    "  --rx-buffer N          the programmer's receive buffer (default 256, 0: no\n"
    "                         limit): bytes the host sends beyond the last frame\n"
    "                         answered once it is full are lost\n"
    "  --probe-delay MS       the status byte comes MS after the probe frame\n"
    "  --osccal-error FRACTION  calibration ticks come this much faster\n"
    "Faults (frames, replies and bytes counted from 1, the probe is frame 1):\n"
    "  --nak-before-frame N   answer frame N with NAK instead of carrying it out\n"
    "  --corrupt-read N       wrong checksum on read reply N\n"
    "  --drop-reply-byte N    lose reply byte N\n"
    "  --stall-after-frame N  go silent after frame N\n"
    "  --hangup-after-frame N close the line after frame N\n"
    "  --vpp-fail             never acknowledge VPP on\n"
    "  --corrupt-echo N       invert echo byte N\n"
    "Output:\n"
    "  --report FILE.json     machine-readable record of the run\n"
    "  --serve                print the pty path on stdout and serve until\n"
    "                         SIGTERM/SIGINT, then write --save/--state/--report\n"
    "  --list-parts           list the parts picsim emulates and exit\n"
    "  --help                 this text\n";

[[noreturn]] void usage_error(const std::string& message) {
    std::cerr << "picsim: " << message << "\n(see picsim --help)\n";
    std::exit(2);
}

long number(const std::string& text, int base, const std::string& option) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, base);
    if (text.empty() || *end || errno) usage_error("bad value for " + option + ": " + text);
    return v;
}

// One line a part: name, device ID and mask, flash words, EEPROM bytes, erase
// row and write latches, configuration words, VPP range.
void list_parts() {
    for (const sim::PartInfo* p : sim::part_list()) {
        std::printf("%-12s id 0x%04X/0x%04X flash %5d eeprom %3d row %2d latches %2d config %d vpp %d.%d-%d.%d\n",
                    p->name, static_cast<unsigned>(p->device_id), static_cast<unsigned>(p->id_mask), p->flash_size,
                    p->eeprom_size, p->row_size, p->write_latches, p->config_words, p->vpp_min / 10,
                    p->vpp_min % 10, p->vpp_max / 10, p->vpp_max % 10);
    }
}

Options parse(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const std::string& opt) -> std::string {
        if (i + 1 >= argc) usage_error(opt + " needs a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        sim::Config& c = o.config;
        sim::Faults& f = c.faults;
        if (a == "--") { ++i; break; }
        if (a == "--help" || a == "-h") { std::cout << kHelp; std::exit(0); }
        else if (a == "--list-parts") { list_parts(); std::exit(0); }
        else if (a == "--part") c.part = value(a);
        else if (a == "--id") c.device_id = static_cast<int>(number(value(a), 16, a));
        else if (a == "--load") o.load = value(a);
        else if (a == "--save") o.save = value(a);
        else if (a == "--state") o.state = value(a);
        else if (a == "--report") o.report = value(a);
        else if (a == "--status") c.status = static_cast<int>(number(value(a), 16, a)) & 0xFF;
        else if (a == "--echo") c.echo = true;
        else if (a == "--loopback") c.loopback = true;
        else if (a == "--silent") c.silent = true;
        else if (a == "--paced") c.paced = true;
        else if (a == "--baud") c.baud = static_cast<int>(number(value(a), 10, a));
        else if (a == "--device-baud") c.device_baud = static_cast<int>(number(value(a), 10, a));
        else if (a == "--programmer-baud") c.programmer_baud = static_cast<int>(number(value(a), 10, a));
        else if (a == "--probe-delay") c.probe_answer_ms = std::atof(value(a).c_str());
        else if (a == "--latency") c.latency_ms = std::atof(value(a).c_str());
        else if (a == "--rx-buffer") c.rx_buffer = static_cast<int>(number(value(a), 10, a));
        else if (a == "--osccal-error") c.osccal_rate_error = std::atof(value(a).c_str());
        else if (a == "--nak-before-frame") f.nak_before_frame = static_cast<int>(number(value(a), 10, a));
        else if (a == "--corrupt-read") f.corrupt_read_reply = static_cast<int>(number(value(a), 10, a));
        else if (a == "--drop-reply-byte") f.drop_reply_byte = static_cast<int>(number(value(a), 10, a));
        else if (a == "--stall-after-frame") f.stall_after_frame = static_cast<int>(number(value(a), 10, a));
        else if (a == "--hangup-after-frame") f.hangup_after_frame = static_cast<int>(number(value(a), 10, a));
        else if (a == "--vpp-fail") f.vpp_on_fail = true;
        else if (a == "--corrupt-echo") f.corrupt_echo_byte = static_cast<int>(number(value(a), 10, a));
        else if (a == "--serve") o.serve = true;
        else if (a == "--poke") {
            std::string v = value(a);
            size_t eq = v.find('=');
            if (eq == std::string::npos) usage_error("--poke needs ADDR=VALUE");
            o.pokes.emplace_back(number(v.substr(0, eq), 16, a), number(v.substr(eq + 1), 16, a));
        } else usage_error("unknown option " + a);
    }
    for (; i < argc; ++i) o.command.push_back(argv[i]);
    if (!sim::part_find(o.config.part)) usage_error("unknown part " + o.config.part);
    if (o.command.empty() && !o.serve) usage_error("no command given");
    if (o.config.baud <= 0 || o.config.device_baud < 0 || o.config.programmer_baud < 0)
        usage_error("bad baud rate");
    if (o.config.probe_answer_ms < 0) usage_error("bad probe delay");
    return o;
}

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

double now_us() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// The pseudo-terminal: the master is the programmer's end. A slave descriptor
// stays open here so that the command closing its end does not hang up the
// line (reads on the master would fail with EIO).
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
};

Pty pty_open() {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
        std::perror("picsim: pseudo-terminal");
        std::exit(2);
    }
    p.path = ptsname(p.master);
    p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY);
    if (p.slave < 0) {
        std::perror("picsim: pseudo-terminal slave");
        std::exit(2);
    }
    termios tio{};
    tcgetattr(p.slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(p.slave, TCSANOW, &tio);
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    return p;
}

void pty_close(Pty& p) {
    if (p.master >= 0) close(p.master);
    if (p.slave >= 0) close(p.slave);
    p.master = p.slave = -1;
}

struct Traffic {
    std::string from_host, to_host;  // hex
    // The host's bytes in runs of one rate: the rate its port was set to when
    // they were read, and the bytes (hex).
    std::vector<std::pair<int, std::string>> by_rate;
};

// The rate the host's side of the pseudo-terminal is set to. Linux keeps one
// set of terminal settings for the pair, so the master reads the rate the
// host gave its slave, also one outside the B-constants (termios2, BOTHER).
// <asm/termbits.h> clashes with <termios.h>; the kernel record is declared
// here as in picup's port code. 0 where it cannot be read.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

int host_rate(int master) {
    KernelTermios2 mode{};
    if (ioctl(master, _IOR('T', 0x2A, KernelTermios2), &mode) != 0) return 0;
    return static_cast<int>(mode.c_ospeed);
}

void note_rate(Traffic& t, int rate, const uint8_t* b, size_t n);

// How well the emulator kept its own schedule, and how the command's time was
// spent; microseconds on now_us() unless named otherwise.
struct Timing {
    double late_max_us = 0;            // worst lateness of a reply byte put on the pty
    double late_total_us = 0;          // lateness of the last byte of each reply burst
    uint64_t bursts = 0;               // reply bursts completed: the host's waits end there
    double turnaround_total_us = 0;    // from the end of a burst to the host's next bytes
    uint64_t turnarounds = 0;
    double burst_end_us = -1;          // end of the burst the host has not answered yet
    double child_start_us = 0, child_end_us = 0;
    double first_byte_us = -1, last_byte_us = -1;  // host bytes seen
    rusage child_usage{};
};

void note_host_bytes(Timing& tm, double at) {
    if (tm.burst_end_us >= 0) {
        tm.turnaround_total_us += at - tm.burst_end_us;
        ++tm.turnarounds;
        tm.burst_end_us = -1;
    }
    if (tm.first_byte_us < 0) tm.first_byte_us = at;
    tm.last_byte_us = at;
}

// A reply byte is written `late` after the time the line model gave it; when
// nothing more is queued the burst is over and the host's wait ends here.
void note_reply_written(Timing& tm, sim::Programmer& prog, double due_us, double written_us) {
    double late = std::max(0.0, written_us - due_us);
    tm.late_max_us = std::max(tm.late_max_us, late);
    if (prog.head_us() >= 0) return;
    tm.late_total_us += late;
    ++tm.bursts;
    tm.burst_end_us = written_us;
}

// Sleeps until the pty has input, `extra_fd` (the command's pidfd) is readable,
// or `wait_us` has passed, to the microsecond: a reply byte must leave when the
// line model says, not at the next millisecond tick.
void wait_input(int master, int extra_fd, double wait_us) {
    pollfd fds[2] = {{master, POLLIN, 0}, {extra_fd, POLLIN, 0}};
    if (wait_us < 0) wait_us = 0;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(wait_us / 1e6);
    ts.tv_nsec = static_cast<long>(std::fmod(wait_us, 1e6) * 1000.0);
    ppoll(fds, extra_fd >= 0 ? 2 : 1, &ts, nullptr);
}

void hex_append(std::string& s, const uint8_t* b, size_t n) {
    static const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
}

// One round of service: take what the host wrote, send what is due. Bytes
// that fell due since the last round go out at once, without waiting.
void serve_once(Pty& p, sim::Programmer& prog, Traffic& t, Timing& tm, int max_wait_ms, int extra_fd) {
    double now = now_us();
    double wait = max_wait_ms * 1000.0;
    double head = prog.head_us();
    double next = head >= 0 && head <= now ? now : prog.next_output_us(now);
    if (next >= 0) wait = std::min(wait, next - now);
    wait_input(p.master, extra_fd, wait);
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(p.master, buf, sizeof buf);
        if (n <= 0) break;
        double at = now_us();
        note_host_bytes(tm, at);
        hex_append(t.from_host, buf, static_cast<size_t>(n));
        // Read after the bytes: the host sets a new rate only after its bytes
        // at the old one have left, so they were sent at this rate or, when
        // this read was late, at one the host has left since.
        int rate = host_rate(p.master);
        if (rate > 0) prog.host_rate(rate);
        note_rate(t, rate, buf, static_cast<size_t>(n));
        prog.receive(buf, static_cast<size_t>(n), at);
    }
    now = now_us();
    std::vector<uint8_t> due;
    double due_us = now;
    for (;;) {
        double h = prog.head_us();
        int b = prog.read_byte(now);
        if (b < 0) break;
        if (h >= 0) due_us = h;
        due.push_back(static_cast<uint8_t>(b));
    }
    hex_append(t.to_host, due.data(), due.size());
    for (size_t sent = 0; sent < due.size();) {
        ssize_t n = write(p.master, due.data() + sent, due.size() - sent);
        if (n > 0) sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        else usleep(100);
    }
    if (!due.empty()) note_reply_written(tm, prog, due_us, now_us());
    if (prog.hung_up()) pty_close(p);  // the line goes away under the host
}

void note_rate(Traffic& t, int rate, const uint8_t* b, size_t n) {
    if (t.by_rate.empty() || t.by_rate.back().first != rate) t.by_rate.emplace_back(rate, "");
    hex_append(t.by_rate.back().second, b, n);
}

std::vector<std::string> child_command(const Options& o, const std::string& path) {
    std::vector<std::string> cmd = o.command;
    bool substituted = false;
    for (std::string& a : cmd) {
        for (size_t at; (at = a.find("{port}")) != std::string::npos; substituted = true)
            a.replace(at, 6, path);
    }
    // The pseudo-terminal is gone once the run ends; /NOSTORE keeps it out of
    // picup.cfg, so the next real run still finds the user's own port there.
    if (!substituted) {
        cmd.push_back("/COM=" + path);
        cmd.push_back("/NOSTORE");
    }
    return cmd;
}

// A programmer answers within microseconds, and an echoing line returns the
// probe's code byte within the 20 ms the host gives it. On a loaded machine (a
// parallel test run, a sanitizer build) an ordinary process can be kept off
// the CPU for longer than that, and the paced line's timing would suffer, so
// the emulator asks for real-time scheduling, or at least a higher priority,
// where it may. It only ever waits in poll, so it cannot starve the machine.
void serve_promptly() {
    sched_param param{};
    param.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) return;
    setpriority(PRIO_PROCESS, 0, -10);
}

pid_t spawn(const std::vector<std::string>& cmd, const Pty& p) {
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("picsim: fork");
        std::exit(2);
    }
    if (pid == 0) {
        close(p.master);
        close(p.slave);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> args;
        for (const std::string& a : cmd) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "picsim: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

struct Changes {
    int flash = 0, config = 0, eeprom = 0;
};

Changes compare(const sim::Cells& before, const sim::Cells& after) {
    Changes c;
    for (const auto& [a, v] : after) {
        auto it = before.find(a);
        if (it != before.end() && it->second == v) continue;
        if (a < 0x8000) ++c.flash;
        else if (a < 0xF000) ++c.config;
        else ++c.eeprom;
    }
    return c;
}

double seconds(double us) { return us / 1e6; }
double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

// Timing and traffic totals for benchmarks: the command's own wall and CPU
// time, what crossed the line, what the programmer was told to wait, and how
// closely the emulator kept to its line model.
void write_timing(std::ostream& out, const Options& o, sim::Programmer& prog, const Timing& tm) {
    const sim::Config& c = o.config;
    double start = tm.child_start_us;
    out << "  \"paced\": " << (c.paced ? "true" : "false") << ",\n"
        << "  \"baud\": " << c.baud << ",\n"
        << "  \"line_baud\": " << c.line_baud() << ",\n"
        << "  \"latency_ms\": " << c.latency_ms << ",\n"
        << "  \"bytes_from_host\": " << prog.bytes_from_host() << ",\n"
        << "  \"bytes_to_host\": " << prog.bytes_to_host() << ",\n"
        << "  \"reply_waits\": " << prog.replies_sent() << ",\n"
        << "  \"child_wall_s\": " << seconds(tm.child_end_us - start) << ",\n"
        << "  \"child_user_s\": " << seconds(tm.child_usage.ru_utime) << ",\n"
        << "  \"child_sys_s\": " << seconds(tm.child_usage.ru_stime) << ",\n"
        << "  \"first_host_byte_s\": " << (tm.first_byte_us < 0 ? -1 : seconds(tm.first_byte_us - start)) << ",\n"
        << "  \"last_host_byte_s\": " << (tm.last_byte_us < 0 ? -1 : seconds(tm.last_byte_us - start)) << ",\n"
        << "  \"reply_bursts\": " << tm.bursts << ",\n"
        << "  \"late_max_us\": " << tm.late_max_us << ",\n"
        << "  \"late_total_us\": " << tm.late_total_us << ",\n"
        << "  \"host_turnarounds\": " << tm.turnarounds << ",\n"
        << "  \"host_turnaround_total_us\": " << tm.turnaround_total_us << ",\n";
}

void write_report(const Options& o, sim::Programmer& prog, const Traffic& t, const Timing& tm,
                  const Changes& ch, int exit_code, double elapsed_s) {
    std::ofstream out(o.report);
    if (!out) {
        std::cerr << "picsim: cannot write " << o.report << "\n";
        return;
    }
    out << "{\n"
        << "  \"part\": \"" << prog.target().part() << "\",\n"
        << "  \"from_host\": \"" << t.from_host << "\",\n"
        << "  \"to_host\": \"" << t.to_host << "\",\n"
        << "  \"from_host_by_rate\": [";
    for (size_t i = 0; i < t.by_rate.size(); ++i)
        out << (i ? ", " : "") << "[" << t.by_rate[i].first << ", \"" << t.by_rate[i].second << "\"]";
    out << "],\n"
        << "  \"last_frame_vpp_off\": " << (prog.last_frame_was_vpp_off() ? "true" : "false") << ",\n"
        << "  \"vpp_on_at_end\": " << (prog.vpp_on() ? "true" : "false") << ",\n"
        << "  \"exit_code\": " << exit_code << ",\n"
        << "  \"elapsed_s\": " << elapsed_s << ",\n";
    write_timing(out, o, prog, tm);
    out        << "  \"delay_us_total\": " << prog.delay_us_total() << ",\n"
        << "  \"replies\": " << prog.replies_sent() << ",\n"
        << "  \"lost_operations\": " << prog.lost_operations() << ",\n"
        << "  \"rx_unanswered_peak\": " << prog.rx_unanswered_peak() << ",\n"
        << "  \"rx_overruns\": " << prog.rx_overruns() << ",\n"
        << "  \"faults\": [";
    std::vector<std::string> faults = prog.faults();
    for (size_t i = 0; i < faults.size(); ++i) out << (i ? ", " : "") << "\"" << faults[i] << "\"";
    out << "],\n"
        << "  \"changed\": {\"flash\": " << ch.flash << ", \"config\": " << ch.config
        << ", \"eeprom\": " << ch.eeprom << "}\n"
        << "}\n";
}

void load_memory(const Options& o, sim::Target& target) {
    sim::Cells cells;
    if (!o.state.empty() && access(o.state.c_str(), F_OK) == 0) {
        std::string err = sim::state_read(o.state, target.part(), cells);
        if (!err.empty()) usage_error(err);
        sim::memory_apply(target, cells);
    }
    if (!o.load.empty()) {
        cells.clear();
        std::string err = sim::hex_read(o.load, cells);
        if (!err.empty()) usage_error(err);
        sim::memory_apply(target, cells);
    }
    for (const auto& [a, v] : o.pokes) target.poke(a, static_cast<uint16_t>(v));
    // An explicit --id wins over a device ID kept in the state or HEX file.
    if (o.config.device_id >= 0) target.poke(0x8006, static_cast<uint16_t>(o.config.device_id));
}

void store_memory(const Options& o, sim::Target& target) {
    std::string err;
    if (!o.save.empty()) err = sim::hex_write(o.save, sim::memory_programmed(target));
    if (err.empty() && !o.state.empty()) err = sim::state_write(o.state, target.part(), sim::memory_snapshot(target));
    if (!err.empty()) std::cerr << "picsim: " << err << "\n";
}

// A descriptor that becomes readable when the command ends, so the serve loop
// wakes at once and the command's wall time is exact; -1 where the kernel has
// none (the loop then looks every 2 ms).
int child_watch(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

int wait_child(pid_t pid, Pty& p, sim::Programmer& prog, Traffic& t, Timing& tm) {
    int status = 0;
    int watch = child_watch(pid);
    int max_wait_ms = watch >= 0 ? 50 : 2;
    for (;;) {
        if (p.master >= 0) {
            serve_once(p, prog, t, tm, max_wait_ms, watch);
        } else if (watch >= 0) {
            pollfd w{watch, POLLIN, 0};
            poll(&w, 1, max_wait_ms);
        } else {
            usleep(2000);
        }
        pid_t r = wait4(pid, &status, WNOHANG, &tm.child_usage);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return 127;
    }
    tm.child_end_us = now_us();
    if (watch >= 0) close(watch);
    // The host's last bytes (its VPP-off frame) may still sit in the pty.
    if (p.master >= 0) serve_once(p, prog, t, tm, 0, -1);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    sim::Programmer prog(o.config);
    load_memory(o, prog.target());
    sim::Cells before = sim::memory_snapshot(prog.target());

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    Pty p = pty_open();
    double start = now_us();
    Traffic t;
    Timing tm;
    int code = 0;
    if (o.serve) {
        std::cout << p.path << std::endl;
        prctl(PR_SET_TIMERSLACK, 1UL);  // wake on time to the microsecond
        serve_promptly();
        while (!g_stop) {
            if (p.master >= 0) serve_once(p, prog, t, tm, 20, -1);
            else usleep(20000);
        }
    } else {
        tm.child_start_us = now_us();
        pid_t pid = spawn(child_command(o, p.path), p);
        // Set after the fork: the command keeps the system's usual timer slack
        // and scheduling.
        prctl(PR_SET_TIMERSLACK, 1UL);
        serve_promptly();
        code = wait_child(pid, p, prog, t, tm);
    }
    double elapsed = (now_us() - start) / 1e6;
    pty_close(p);

    Changes ch = compare(before, sim::memory_snapshot(prog.target()));
    std::fprintf(stderr,
                 "picsim: %s: flash: %d words changed, eeprom: %d bytes changed, config: %d words changed;"
                 " %llu bytes from host, %llu bytes to host; last frame VPP off: %s; lost operations: %llu\n",
                 prog.target().part().c_str(), ch.flash, ch.eeprom, ch.config,
                 static_cast<unsigned long long>(prog.bytes_from_host()),
                 static_cast<unsigned long long>(prog.bytes_to_host()),
                 prog.last_frame_was_vpp_off() ? "yes" : "no",
                 static_cast<unsigned long long>(prog.lost_operations()));
    // The host broke the part's programming rules: each on a line of its own.
    for (const std::string& f : prog.faults())
        std::fprintf(stderr, "picsim: %s: fault: %s\n", prog.target().part().c_str(), f.c_str());
    if (prog.rx_overruns() > 0) {
        std::fprintf(stderr,
                     "picsim: the host went on sending without waiting for an answer: %llu bytes"
                     " found the programmer's %d-byte receive buffer full and were lost\n",
                     static_cast<unsigned long long>(prog.rx_overruns()), o.config.rx_buffer);
    }
    store_memory(o, prog.target());
    if (!o.report.empty()) write_report(o, prog, t, tm, ch, code, elapsed);
    return code;
}
