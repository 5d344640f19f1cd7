// Number and range syntax, option matching, program path split, settings file
// reading and rewriting, all through the real file system and a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/link.h"
#include "cli/options.h"
#include "serial/port.h"
#include "test_support.h"

namespace {

void reset_state() {
    settings = Settings{};
    write_flags = 0;
    link_state.log_on = false;
    link_state.log_file = nullptr;
}

TEST(ParseNumber, DecimalHexAndLeadingZeros) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {
        {"0x1F", 31}, {"1F", 1},     {"FF", 255},  {"010", 10}, {"0A", 10},    {"x10", 16},
        {"00x10", 16}, {"", 0},      {"0", 0},     {"-5", 0},   {" 5", 0},     {"0X1f", 31},
        {"123abc", 123}, {"0xFFFF", 0xFFFF}, {"0x", 0}, {"0009", 9}, {"abcdefg", 0xABCDEF},
        {"0xFFFFFFFF", -1}, {"0x100000000", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_number(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseRange, BoundsOpenEndsAndValue) {
    struct Case {
        const char* text;
        int from, to, value;
    } cases[] = {
        {"0x100-0x1FF", 0x100, 0x1FF, -1},
        {"0-0x7F,0x3FFF", 0, 0x7F, 0x3FFF},
        {"0x100-", 0x100, 0xFFFF, -1},
        {"0x10-FF", 0x10, 0xFFFF, -1},  // the end must start with a decimal digit
        {"0x10-0xFF", 0x10, 0xFF, -1},
        {"5", 5, 5, -1},
        {"", 0, 0, -1},
        {"0x20", 0x20, 0x20, -1},
        {"0-0x1F", 0, 0x1F, -1},
        {"0-99999", 0, 0xFFFF, -1},  // the end is capped, the start is not
        {"0x12345-1", 0x12345, 1, -1},
        {"1-2,", 1, 2, 0},
        {"ALL", 10, 10, -1},
        {"3,7-9", 3, 9, 7},      // the first '-' anywhere, even after the comma
        {"3-,7-9", 3, 0xFFFF, 7},
    };
    for (const Case& c : cases) {
        int from = -7, to = -7;
        int value = parse_range(c.text, &from, &to);
        EXPECT_EQ(from, c.from) << c.text;
        EXPECT_EQ(to, c.to) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(ApplyOption, MatchOrderPrefixAndCase) {
    reset_state();
    EXPECT_EQ(apply_option("com4"), 1);
    EXPECT_EQ(settings.com_port, 4);
    EXPECT_EQ(apply_option("COM0x10"), 1);  // decimal only: port 0
    EXPECT_EQ(settings.com_port, 0);
    EXPECT_EQ(apply_option("Baud=9600"), 1);
    EXPECT_EQ(settings.baud, 9600);
    // A baud rate is a positive decimal number and nothing else; anything
    // else is marked 0, which the run refuses before the port is opened.
    for (const char* bad : {"BAUD=99999999999", "BAUD=abc", "BAUD=0", "BAUD=-5", "BAUD=96OO",
                            "BAUD=", "BAUD=+9600", "BAUD=0x2580", "BAUD= 9600"}) {
        settings.baud = 1200;
        EXPECT_EQ(apply_option(bad), 1);
        EXPECT_EQ(settings.baud, 0) << bad;
    }
    EXPECT_EQ(apply_option("BAUD=09600"), 1);
    EXPECT_EQ(settings.baud, 9600);
    EXPECT_EQ(apply_option("nostore"), 0);
    EXPECT_EQ(settings.no_store, 1);

    EXPECT_EQ(apply_option("ERASE0x20"), 0);
    EXPECT_EQ(settings.erase_from, 0x20);
    EXPECT_EQ(settings.erase_to, 0x20);
    EXPECT_EQ(apply_option("fill0-0x1F"), 0);
    EXPECT_EQ(settings.fill_value, -1);
    EXPECT_EQ(apply_option("FILL1-2,0x3FFF"), 0);
    EXPECT_EQ(settings.fill_from, 1);
    EXPECT_EQ(settings.fill_to, 2);
    EXPECT_EQ(settings.fill_value, 0x3FFF);
    apply_option("READ0x100-");
    EXPECT_EQ(settings.read_to, 0xFFFF);

    // ERASE comes before BULKERASE, and BULKERASE is matched by its own word.
    apply_option("BULKERASE");
    EXPECT_EQ(write_flags & WF_BULK_ERASE, WF_BULK_ERASE);
    EXPECT_EQ(settings.erase_from, 0x20);
    EXPECT_EQ(apply_option("osccalX"), 0);
    EXPECT_EQ(settings.osccal, 1);
    apply_option("LOGFILE");
    EXPECT_TRUE(link_state.log_on);
    apply_option("INFOX");
    EXPECT_EQ(settings.info, 1);
}

TEST(ApplyOption, DevicePathAndSaveName) {
    reset_state();
    EXPECT_EQ(apply_option("COM=/dev/ttyUSB0 \r\n"), 1);
    EXPECT_STREQ(settings.com_path, "/dev/ttyUSB0");
    EXPECT_EQ(apply_option("com7"), 1);  // a numbered port replaces the path
    EXPECT_STREQ(settings.com_path, "");
    EXPECT_EQ(settings.com_port, 7);
    EXPECT_EQ(apply_option("COM="), 1);  // no path is no port
    EXPECT_EQ(settings.com_port, 0);
    EXPECT_EQ(apply_option("save=out.hex\n"), 0);
    EXPECT_STREQ(settings.save_path, "out.hex");
    std::string longest = "COM=/" + std::string(254, 'p');
    apply_option(longest.c_str());
    EXPECT_EQ(std::strlen(settings.com_path), 255u);
}

TEST(CommandLine, AbsoluteFileNamesAreNotOptions) {
    // On a POSIX build a HEX file may be named by an absolute path.
    EXPECT_FALSE(platform_is_option_word("/home/a.b/blinky.hex"));
    EXPECT_FALSE(platform_is_option_word("//blinky.hex"));
    EXPECT_FALSE(platform_is_option_word("blinky.hex"));
    EXPECT_TRUE(platform_is_option_word("/COM=/dev/ttyUSB0"));
    EXPECT_TRUE(platform_is_option_word("/SAVE=/tmp/out.hex"));
    EXPECT_TRUE(platform_is_option_word("/READ0x100-0x1FF"));
    EXPECT_TRUE(platform_is_option_word("/INFO"));
    EXPECT_TRUE(platform_is_option_word("/"));
}

TEST(ApplyOption, HelpAndUnknownWordsEndTheRun) {
    reset_state();
    std::strcpy(program_stem, "picup");
    auto usage = native::run_child([] { apply_option("hElP"); });
    EXPECT_EQ(usage.code, 0);
    EXPECT_EQ(usage.out.rfind("\n*****", 0), 0u);
    for (const char* word : {"HELPME", "HELP\n", "BAUD9600", "\n", "/INFO\n", "xyz", ""}) {
        auto got = native::run_child([word] { apply_option(word); });
        EXPECT_EQ(got.code, 1) << word;
        EXPECT_EQ(got.out, std::string("unknown option: ") + word + "\n");
    }
    std::string too_long = "COM=/" + std::string(255, 'p');
    auto got = native::run_child([&] { apply_option(too_long.c_str()); });
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.out.find("too long"), std::string::npos);
}

TEST(ProgramPath, BaseAndStemForBothSeparatorRules) {
    struct Case {
        const char* argv0;
        bool slash;
        const char* base;
        const char* stem;
    } cases[] = {
        {"C:\\tools\\uploader.exe", false, "C:\\tools\\uploader", "uploader"},
        {"uploader.new.exe", false, "uploader", "uploader"},
        {"C:\\a.b\\up", false, "C:\\a.b\\up", "up"},
        {".hidden", false, ".hidden", ".hidden"},
        {"./picup", false, "./picup", "./picup"},  // a leading '.' stays
        {"C:up.exe", false, "C:up", "C:up"},
        {"/home/a.b/bin/picup", true, "/home/a.b/bin/picup", "picup"},
        {"/home/a.b/bin/picup", false, "/home/a", "/home/a"},
        {"./picup", true, "./picup", "picup"},
        {"../x/picup.v2.bin", true, "../x/picup", "picup"},
        {"dir\\sub/name.exe", true, "dir\\sub/name", "name"},
        {"picup", true, "picup", "picup"},
        {"", true, "", ""},
    };
    for (const Case& c : cases) {
        char base[256] = "junk";
        char stem[32] = "junk";
        ASSERT_EQ(split_program_path(c.argv0, c.slash, base, sizeof base, stem, sizeof stem), 1)
            << c.argv0;
        EXPECT_STREQ(base, c.base) << c.argv0;
        EXPECT_STREQ(stem, c.stem) << c.argv0;
    }
    char base[256];
    char stem[32];
    std::string long_path = std::string(250, 'a') + "/b.ex";  // 255 characters fit
    EXPECT_EQ(split_program_path(long_path.c_str(), true, base, 256, stem, 32), 1);
    EXPECT_EQ(std::string(base), std::string(250, 'a') + "/b");
    long_path.push_back('e');
    EXPECT_EQ(split_program_path(long_path.c_str(), true, base, 256, stem, 32), 0);
    std::string long_stem = "/bin/" + std::string(32, 's') + ".exe";
    EXPECT_EQ(split_program_path(long_stem.c_str(), true, base, 256, stem, 32), 0);
    long_stem = "/bin/" + std::string(31, 's') + ".exe";
    EXPECT_EQ(split_program_path(long_stem.c_str(), true, base, 256, stem, 32), 1);
    EXPECT_EQ(std::string(stem), std::string(31, 's'));
}

// load_options over a program "installed" in a temporary directory, with a
// pseudo-terminal as the serial port so that the run gets past the port open.
class LoadOptions : public ::testing::Test {
protected:
    void SetUp() override {
        reset_state();
        dir = native::make_temp_dir();
        ASSERT_FALSE(dir.empty());
        ASSERT_FALSE(pty.slave.empty());
        program = dir + "/picup.bin";
        cfg = dir + "/picup.cfg";
    }
    void TearDown() override {
        port_close();
        if (link_state.log_file != nullptr) std::fclose(link_state.log_file);
        link_state.log_file = nullptr;
        std::string command = "rm -rf " + dir;
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    const char* load(std::vector<std::string> args) {
        args.insert(args.begin(), program);
        argv_storage = args;
        argv.clear();
        for (std::string& a : argv_storage) argv.push_back(a.data());
        argv.push_back(nullptr);
        Settings taken;
        return load_options(static_cast<int>(argv_storage.size()), argv.data(), &taken);
    }
    std::string dir, program, cfg;
    native::Pty pty;
    std::vector<std::string> argv_storage;
    std::vector<char*> argv;
};

TEST_F(LoadOptions, SettingsFileLinesAsPeopleEditThem) {
    // A byte order mark, CR LF line ends, blank and comment lines, blanks
    // around the words, and lines of any length read whole.
    std::string long_line = "INFO" + std::string(45, 'x') + "READ5";
    native::write_file(cfg, "\xEF\xBB\xBF# the programmer on the bench\r\n\r\n"
                            "  COM=" + pty.slave + " \t\r\n\t\n   \n# FILL0-1\r\n"
                            "\tFILL1-2  \r\n" + long_line + "\r\n" + "LOG" + std::string(600, 'g') +
                            "\nBAUD=9600");
    std::string hexfile = dir + "/blink.hex";
    native::write_file(hexfile, ":00000001FF\n");
    EXPECT_EQ(load({hexfile}), hexfile);
    EXPECT_STREQ(settings.com_path, pty.slave.c_str());
    EXPECT_EQ(settings.fill_from, 1);
    EXPECT_EQ(settings.fill_to, 2);
    EXPECT_EQ(settings.info, 1);
    EXPECT_EQ(settings.read_from, -1);  // part of the INFO word, not a piece of its own
    EXPECT_EQ(settings.baud, 9600);
    EXPECT_STREQ(program_stem, "picup");
    EXPECT_TRUE(link_state.log_on);
    EXPECT_TRUE(native::file_exists(dir + "/picup.log"));
    // No stored setting on the command line: the file is left as it was.
    EXPECT_EQ(native::read_file(cfg).substr(0, 3), "\xEF\xBB\xBF");
}

// What the run cannot do is refused before the port opens: a second HEX file
// (which one was meant?), a HEX file that is not there, ranges that are no
// ranges, an empty /PART=.
TEST_F(LoadOptions, RefusedBeforeThePortOpens) {
    native::write_file(cfg, "COM=" + pty.slave + "\n");
    std::string a = dir + "/a.hex", b = dir + "/b.hex";
    native::write_file(a, ":00000001FF\n");
    native::write_file(b, ":00000001FF\n");
    auto got = native::run_child([&] { load({a, b}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(got.out, "");
    got = native::run_child([&] { load({dir + "/missing.hex"}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(got.out, "\ncannot open hex input file!\n");
    for (const char* word : {"/READ0x20-0x10", "/FILL0x10-0x5,1", "/READ0x0-0xZZ", "/READALL",
                             "/READ0x10-FF", "/FILL0-3,", "/ERASE0x1-0x2,5", "/READ0x10000",
                             "/PART=", "/FILL0-3,0x"}) {
        got = native::run_child([&] { load({word}); });
        EXPECT_EQ(got.code, 1) << word;
        EXPECT_EQ(got.out, "") << word;
    }
    // Still ranges: open ends, single cells, leading zeros, a value.
    for (const char* word : {"/READ0x100-", "/READ5", "/READ", "/FILL0-0x1F", "/FILL00x10-020,0",
                             "/ERASE0x8000-0x8003"}) {
        got = native::run_child([&] {
            load({word});
            std::exit(42);
        });
        EXPECT_EQ(got.code, 42) << word << got.out;
    }
}

TEST_F(LoadOptions, UnknownWordsInTheFileStillEndTheRun) {
    native::write_file(cfg, "COM=" + pty.slave + "\n\nNOSUCH \r\n");
    auto got = native::run_child([this] { load({"/INFO"}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(got.out, "unknown option: NOSUCH\n");
    native::write_file(cfg, "/INFO\n");
    got = native::run_child([this] { load({"/INFO"}); });
    EXPECT_EQ(got.out, "unknown option: /INFO\n");
    native::write_file(cfg, "HELP\r\n# more\n");
    got = native::run_child([this] { load({"/INFO"}); });
    EXPECT_EQ(got.code, 0);
    EXPECT_NE(got.out.find("Usage: picup [option"), std::string::npos);
}

// A device path longer than a settings piece is stored whole and read back
// whole; cutting it into pieces would make the next run fail.
TEST_F(LoadOptions, LongDevicePathSurvivesTheSettingsFile) {
    std::string link = dir + "/" + std::string(120, 'L');
    ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);
    load({"/COM=" + link, "/BAUD=19200"});
    EXPECT_EQ(native::read_file(cfg), "COM=" + link + "\nBAUD=19200\n");
    port_close();
    settings = Settings{};
    load({"/INFO"});
    EXPECT_STREQ(settings.com_path, link.c_str());
    EXPECT_EQ(settings.baud, 19200);
}

TEST_F(LoadOptions, RewriteKeepsTheUsersLinesAndReplacesInOneStep) {
    native::write_file(cfg, "COM=" + pty.slave + "\nINFO\nBAUD=300\n");
    struct stat before {};
    ASSERT_EQ(stat(cfg.c_str(), &before), 0);
    load({"/baud=57600"});
    EXPECT_EQ(native::read_file(cfg), "COM=" + pty.slave + "\nINFO\nBAUD=57600\n");
    struct stat after {};
    ASSERT_EQ(stat(cfg.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "file rewritten in place, not replaced";
    EXPECT_FALSE(native::file_exists(cfg + ".tmp"));

    // The COM line is replaced where it stands, with its own line end and the
    // byte order mark before it; a second COM line goes; the missing BAUD=
    // line is added after a last line that had no line end.
    port_close();
    native::write_file(cfg, "\xEF\xBB\xBF com3\r\n# keep me\r\n  LOG \r\ncom=/dev/old\r\nREAD0-1");
    load({"/COM=" + pty.slave, "/BAUD=9600"});
    EXPECT_EQ(native::read_file(cfg), "\xEF\xBB\xBF" "COM=" + pty.slave +
                                          "\r\n# keep me\r\n  LOG \r\nREAD0-1\nBAUD=9600\n");
    EXPECT_TRUE(link_state.log_on);
    port_close();
    log_end();

    // When the new file cannot be created the old one stays untouched.
    native::write_file(cfg, "COM=" + pty.slave + "\nBAUD=57600\n");
    ASSERT_EQ(mkdir((cfg + ".tmp").c_str(), 0700), 0);
    load({"/BAUD=9600"});
    EXPECT_EQ(native::read_file(cfg), "COM=" + pty.slave + "\nBAUD=57600\n");
}

// Values that would break every later run are refused before anything is
// stored or sent, a port that does not open is not stored, and /NOSTORE keeps
// this run's port out of the file.
TEST_F(LoadOptions, OnlyAPortThatOpenedIsStored) {
    const std::string old = "# bench\nCOM=" + pty.slave + "\nBAUD=9600\n";
    native::write_file(cfg, old);
    for (const char* bad : {"/BAUD=abc", "/BAUD=0", "/BAUD=-5", "/BAUD=96OO"}) {
        auto got = native::run_child([this, bad] { load({bad, "/INFO"}); });
        EXPECT_EQ(got.code, 1) << bad;
        EXPECT_EQ(got.out, std::string("\nInvalid baud rate: ") + (bad + 6) +
                               " (give a decimal number such as 115200)!\n");
        EXPECT_EQ(native::read_file(cfg), old) << bad;
    }
    auto got = native::run_child([this] { load({"/COM=" + dir + "/no-such-tty"}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(got.out, "\nCan not open port " + dir + "/no-such-tty!\n");
    got = native::run_child([this] { load({"/COM0"}); });
    EXPECT_EQ(got.out, "\nCan not open port COM0!\n");
    EXPECT_EQ(native::read_file(cfg), old);
    load({"/BAUD=19200", "/NOSTORE"});
    EXPECT_EQ(settings.baud, 19200);
    EXPECT_EQ(native::read_file(cfg), old);
    port_close();

    // A broken value stored by an older version is named as coming from the
    // file; a good one on the command line mends it.
    native::write_file(cfg, "COM=" + pty.slave + "\nBAUD=0\n");
    got = native::run_child([this] { load({"/INFO"}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_EQ(got.out, "\nInvalid baud rate: 0 (give a decimal number such as 115200)!\n");
    settings = Settings{};
    load({"/BAUD=115200"});
    EXPECT_EQ(native::read_file(cfg), "COM=" + pty.slave + "\nBAUD=115200\n");
}

TEST_F(LoadOptions, ProgramPathThatDoesNotFitEndsTheRun) {
    program = dir + "/" + std::string(300, 'n');
    auto got = native::run_child([this] { load({"/INFO"}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.out.find("too long"), std::string::npos);
    program = dir + "/" + std::string(40, 'n');
    got = native::run_child([this] { load({"/INFO"}); });
    EXPECT_EQ(got.code, 1);
    EXPECT_NE(got.out.find("too long"), std::string::npos);
}

}  // namespace
