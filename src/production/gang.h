// /GANG=<port>,<port>,...: the same job on several programmers at once. Each
// port gets a child process of this program with the same command line (its
// own /COM=, log, backup file and run record; /NOSTORE, so no child rewrites
// the settings), so every run keeps the process-wide state to itself. The
// parent reports each port as it finishes, then a summary, then the console
// text of every port that failed; exit code 0 only when every port succeeded.
#pragma once

// A command-line word (without its '/') that is /GANG=: takes the port list
// and returns true. The option is not taken from the settings file, so no
// child can start a gang of its own. Also takes /PROGRESS=<file>, which a
// gang on a terminal gives each child: the child keeps its stage and
// percentage there (ui/status.h) for the parent's live line of its port.
bool gang_option(const char* word);
bool gang_requested();
// What of the run's settings each port's picup is given its own file for.
struct GangJob {
    const char* log_path;   // /LOG=<file>; "" for the default log
    const char* save_path;  // /SAVE=<hexfile>; ""
    const char* json_path;  // /JSON=<file>; "" none ("-" is refused)
    bool verify;            // /VERIFY: the summary says "verified"
};
// Runs the children, reports and ends the process.
[[noreturn]] void gang_run(int argc, char** argv, const GangJob& job);

// `path` with "-<tag>" put before the extension of its last component
// ("out/run.json" -> "out/run-ttyUSB0.json"). 0 when it does not fit.
int gang_port_file(const char* path, const char* tag, bool slash_separates, char* out, int size);
// The part of a port name that tells it apart in file names: the last path
// component, with anything but letters, digits, '.', '-' and '_' made '_'.
void gang_port_tag(const char* port, char* out, int size);
