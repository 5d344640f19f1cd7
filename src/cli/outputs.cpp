// Output files are compared by what they are on the disk (device and inode,
// or volume and file index), not by how they are spelled: ./in.hex, a link to
// in.hex and a hard link all name the HEX file.
#include "cli/outputs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/platform.h"
#include "record/record.h"
#include "ops/serialno.h"
#include "protocol/link.h"
#include "production/counter.h"
#include "cli/options.h"
#include "ui/diagnose.h"
#include "ui/fail.h"

namespace {

constexpr int MAX_NAMES = 10;

struct NamedFile {
    const char* what;  // how the user gave it, for the message
    const char* path;
    bool output;
    bool replaced;  // written beside and renamed into place
    PlatformFileId id;
    bool known;  // the id could be taken
};

NamedFile names[MAX_NAMES];
int name_count = 0;
char whats[MAX_NAMES][sizeof settings.json_path + 16];
FileName own_files[4];

void add(const char* option, const char* path, bool output, bool replaced) {
    if (path == nullptr || path[0] == '\0' || name_count == MAX_NAMES) return;
    NamedFile& n = names[name_count];
    std::snprintf(whats[name_count], sizeof whats[name_count], "%s%s", option, path);
    n.what = whats[name_count];
    n.path = path;
    n.output = output;
    n.replaced = replaced;
    n.known = platform_file_id(path, &n.id);
    ++name_count;
}

void collect(const char* hexfile) {
    name_count = 0;
    if (hexfile != nullptr) add("the HEX file ", hexfile, false, false);
    add("/SAVE=", settings.save_path, true, true);
    if (std::strcmp(settings.json_path, "-") != 0) add("/JSON=", settings.json_path, true, true);
    add("/HISTORY=", settings.history_path, true, false);
    if (link_state.log_on) {
        if (settings.log_path[0] != '\0') {
            add("/LOG=", settings.log_path, true, false);
        } else {
            own_files[0] = file_name(".log");
            add("/LOG writes ", own_files[0].text, true, false);
        }
    }
    // The program's own files: an output over one of them breaks every later run.
    own_files[1] = file_name(".cfg");
    own_files[2] = file_name(".dat");
    own_files[3] = file_name(".serial");
    static FileName lock;
    lock = file_name(".serial.lock");
    add("the settings file ", own_files[1].text, false, false);
    add("the device database ", own_files[2].text, false, false);
    add("the serial number counter ", own_files[3].text, false, false);
    add("the serial number lock ", lock.text, false, false);
}

// The record and the history are written at the exit, also after this
// refusal: not into a file they must not take.
void drop_exit_output(const NamedFile& n) {
    if (n.path == settings.json_path) {
        settings.json_path[0] = '\0';
        record_drop();
    }
    if (n.path == settings.history_path) settings.history_path[0] = '\0';
}

void check_pairs() {
    for (int i = 0; i < name_count; ++i) {
        if (!names[i].output || !names[i].known) continue;
        for (int j = 0; j < name_count; ++j) {
            if (j == i || (names[j].output && j < i) || !names[j].known) continue;
            if (!platform_same_id(names[i].id, names[j].id)) continue;
            drop_exit_output(names[i]);
            drop_exit_output(names[j]);
            fail_report("%s and %s are the same file; give each output a name of its own",
                        names[i].what, names[j].what);
        }
    }
}

void check_writable() {
    for (int i = 0; i < name_count; ++i) {
        const NamedFile& n = names[i];
        // The default log may fail: the run then goes on without one.
        if (!n.output || std::strncmp(n.what, "/LOG writes", 11) == 0) continue;
        errno = 0;
        if (platform_file_writable(n.path, n.replaced)) continue;
        int error = errno;
        drop_exit_output(n);
        errno = error;
        fail_report("cannot write %s: %s; name a file in a directory you can write to", n.what,
                    std::strerror(errno != 0 ? errno : EACCES));
    }
    // The counter is replaced in its directory (made first when it is the
    // per-user one), under a lock file beside it.
    if (!serial_request.on) return;
    errno = 0;
    if (files_prepare_dir() && platform_file_writable(own_files[3].text, true)) return;
    fail_report("cannot write the serial number counter %s: %s", own_files[3].text,
                std::strerror(errno != 0 ? errno : EACCES));
}

}  // namespace

const char* take_hex_argument(const char* earlier, const char* arg) {
    if (earlier != nullptr)
        fail_report("two HEX files given (%s and %s); give only the one to upload", earlier, arg);
    return arg;
}

void fail_hex_unreadable(const char* hexfile, int error) {
    const char* message = "\ncannot open hex input file!";
    print_failure(message);
    ui_report_after("%s: %s", hexfile, std::strerror(error != 0 ? error : EIO));
    fail_shown(message);
}

void check_hex_input(const char* hexfile) {
    if (hexfile == nullptr) return;
    errno = 0;
    std::FILE* file = platform_open_text_file(hexfile);
    if (file != nullptr) {
        std::fclose(file);
        return;
    }
    fail_hex_unreadable(hexfile, errno);
}

void check_output_files(const char* hexfile) {
    collect(hexfile);
    check_pairs();
    check_writable();
}
