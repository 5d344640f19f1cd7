// Device database: the default file, the look-up of every default part, and
// the reading rules for hand-edited files.
#include <sys/stat.h>

#include "link_fixture.h"

using namespace prototest;

namespace {

// The file older versions wrote: the same parts without the parameters added
// since (latches, configuration words and masks, calibration words, VPP range).
const char* const OLD_FILE =
    "* PIC data base for picup.exe\n"
    "*\n"
    "* Line format:\n"
    "* <device name> <hardware ID> <mask hardware ID> <erase blk size> <prog flash size> [optional parameters]\n"
    "* (all above numbers: hexadecimal, size=words)\n"
    "* optional parameters (default val.), numbers: decimal or hexadecimal\n"
    "* B:<erasetime>        (5000) bulk erase time (microseconds)\n"
    "* D:<prgtime>          (5000) programming pulse width for EEPROM/Config Mem. (microseconds)\n"
    "* E:<EEPROM size>      (0) size of data EEPROM\n"
    "* O:<address>          (0) OSCCAL memory address (e.g.for PIC12F629: 0x3FF)\n"
    "* P:<prgtime>          (2500) programming pulse width for program flash (microseconds)\n"
    "* R:<erasetime>        (2500) row erase time (microseconds)\n"
    "* S:<bitmask>          (0) bits in Config word to save & restore (e.g. BG0,BG1)\n"
    "* T:<num>              (0) typecode for selecting special behaviour\n"
    "* V:<volts>            (85) programming voltage (1/10 Volts)\n"
    "* Z:<mask>             (0x3FFF) bit clr mask for hardware zeros (config-wd.)\n"
    "PIC12F1840 0x1B80 0x3FE0 0x0020 0x1000 E:256\n"
    "PIC12LF1840 0x1BC0 0x3FE0 0x0020 0x1000 E:256\n"
    "PIC16F1503 0x2CE0 0x3FE0 0x0010 0x0800\n"
    "PIC16LF1503 0x2DA0 0x3FE0 0x0010 0x0800\n"
    "PIC16F1705 0x3055 0x3FFF 0x0020 0x2000\n"
    "PIC16LF1705 0x3057 0x3FFF 0x0020 0x2000\n"
    "PIC16F1825 0x2760 0x3FE0 0x0020 0x2000 E:256\n"
    "PIC16LF1825 0x2860 0x3FE0 0x0020 0x2000 E:256\n"
    "PIC12F629 0x0F80 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF\n"
    "PIC12F675 0x0FC0 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF\n"
    "PIC16F630 0x10C0 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF\n"
    "PIC16F676 0x10E0 0x3FE0 0x0000 0x400 E:128  T:1 V:95 D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF\n"
    ;

class DeviceDbTest : public ProtoTest {
protected:
    // Looks `id` up in `text` as the whole database file.
    int scan(const std::string& text, unsigned id) {
        reset_records();
        target_info.device_id = static_cast<uint16_t>(id);
        std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        EXPECT_NE(f, nullptr);
        int found = device_db_scan(f, id);
        std::fclose(f);
        return found;
    }
    std::string name() const { return device.name[0] != '\0' ? device.name : "(unknown)"; }

    std::string load(unsigned id) {
        target_info.device_id = static_cast<uint16_t>(id);
        testing::internal::CaptureStdout();
        device_db_load(id);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

// The written file: its header, then one line per built-in part.
std::string written_file() {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* f = open_memstream(&text, &size);
    device_db_write_default(f);
    std::fclose(f);
    std::string s(text, size);
    std::free(text);
    return s;
}

TEST_F(DeviceDbTest, DefaultFileIsWrittenOnceByteForByte) {
    EXPECT_EQ(load(0x2765), "\nNew file (picup.dat) written\n");
    const std::string file = read_file(path("picup.dat"));
    EXPECT_EQ(file, written_file());
    EXPECT_EQ(file.rfind("* PIC data base for picup.exe\n*\n* Line format:\n", 0), 0u);
    EXPECT_NE(file.find("\n* M:<mask>[,<mask>..]  (0x3FFF) implemented bits of each config word\n"),
              std::string::npos);
    EXPECT_NE(file.find("\nPIC12F629 0x0F80 0x3FE0 0x0000 0x0400 E:128 T:1 M:0x01FF V:95 K:85 U:132 "
                        "D:6000 B:8000 O:0x3FF S:0x3000 Z:0x31FF\n"),
              std::string::npos);
    int device_lines = 0;
    for (size_t at = 0; (at = file.find("\nPIC", at)) != std::string::npos; ++at) ++device_lines;
    EXPECT_EQ(device_lines, PART_COUNT);
    EXPECT_EQ(name(), "PIC16F1825") << "looked up in the new file";

    // A second run finds the file, prints nothing and keeps the user's edits.
    write_file(path("picup.dat"), "PICX 0x2760 0x3FE0 0x0008 0x0100\n");
    reset_records();
    EXPECT_EQ(load(0x2765), "");
    EXPECT_EQ(name(), "PICX");
    EXPECT_EQ(device.row_size, 8);
    EXPECT_EQ(read_file(path("picup.dat")), "PICX 0x2760 0x3FE0 0x0008 0x0100\n");
}

TEST_F(DeviceDbTest, UnreadableFileIsNeverReplacedAndTheBuiltInListServes) {
    // A link to a file that is not there cannot be read, yet the name exists:
    // nothing is created through it, and the lines built into the program
    // identify the chip, with one line on stderr saying why.
    ASSERT_EQ(symlink(path("elsewhere.dat").c_str(), path("picup.dat").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(0x2765), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "picup: cannot create " + path("picup.dat") +
                  ": File exists; using the built-in device list\n");
    EXPECT_EQ(access(path("elsewhere.dat").c_str(), F_OK), -1);
    EXPECT_EQ(name(), "PIC16F1825");
    EXPECT_EQ(device.flash_size, 0x2000);
    unlink(path("picup.dat").c_str());

    // A directory in its place: not read, not replaced.
    ASSERT_EQ(mkdir(path("picup.dat").c_str(), 0700), 0);
    reset_records();
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(0x0F83), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "picup: cannot read " + path("picup.dat") +
                  ": not a regular file; using the built-in device list\n");
    EXPECT_EQ(name(), "PIC12F629");
    EXPECT_EQ(device.type_code, 1);
    rmdir(path("picup.dat").c_str());

    // A file without read permission (permissions do not bind root).
    if (geteuid() == 0) return;
    write_file(path("picup.dat"), "PICX 0x2760 0x3FE0 0x0008 0x0100\n");
    ASSERT_EQ(chmod(path("picup.dat").c_str(), 0), 0);
    reset_records();
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(0x2765), "");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Permission denied"), std::string::npos);
    chmod(path("picup.dat").c_str(), 0644);
    EXPECT_EQ(read_file(path("picup.dat")), "PICX 0x2760 0x3FE0 0x0008 0x0100\n");
    EXPECT_EQ(name(), "PIC16F1825");
}

TEST_F(DeviceDbTest, NoDirectoryToWriteInUsesTheBuiltInList) {
    std::snprintf(program_base_path, sizeof program_base_path, "%s/missing/picup", dir.c_str());
    device.row_size = 99;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(0x2765), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "picup: cannot create " + dir +
                  "/missing/picup.dat: No such file or directory; using the built-in device list\n");
    EXPECT_EQ(name(), "PIC16F1825");
    EXPECT_EQ(device.row_size, 32);
    EXPECT_EQ(device.eeprom_size, 256);
    // A chip the built-in list does not know stays unknown, with the defaults.
    reset_records();
    testing::internal::CaptureStderr();
    load(0x3EE0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(name(), "(unknown)");
    EXPECT_EQ(device.flash_size, 0x8000);
    EXPECT_EQ(device.row_size, 16);
}

struct Expected {
    unsigned id;
    const char* name;
    int flash, row, eeprom;
};

TEST_F(DeviceDbTest, EveryDefaultPartIsFoundWithItsRevisionBits) {
    const Expected parts[] = {
        {0x1B85, "PIC12F1840", 0x1000, 32, 256},  {0x1BDF, "PIC12LF1840", 0x1000, 32, 256},
        {0x2CE0, "PIC16F1503", 0x0800, 16, 0},    {0x2DA3, "PIC16LF1503", 0x0800, 16, 0},
        {0x3055, "PIC16F1705", 0x2000, 32, 0},    {0x3057, "PIC16LF1705", 0x2000, 32, 0},
        {0x2761, "PIC16F1825", 0x2000, 32, 256},  {0x287F, "PIC16LF1825", 0x2000, 32, 256},
        {0x0F83, "PIC12F629", 0x400, 0, 128},     {0x0FC1, "PIC12F675", 0x400, 0, 128},
        // The low five bits are the revision: 0x10C0-0x10DF is a PIC16F630,
        // 0x10E0-0x10FF a PIC16F676.
        {0x10C4, "PIC16F630", 0x400, 0, 128},     {0x10D9, "PIC16F630", 0x400, 0, 128},
        {0x10E3, "PIC16F676", 0x400, 0, 128},     {0x10FF, "PIC16F676", 0x400, 0, 128},
    };
    const std::string written = written_file();
    for (const Expected& p : parts) {
        SCOPED_TRACE(p.name);
        // The built-in table gives exactly what the written file gives.
        reset_records();
        ASSERT_EQ(device_db_scan_builtin(p.id), 1);
        const Part builtin = device;
        EXPECT_EQ(name(), p.name);
        ASSERT_EQ(scan(written, p.id), 1);
        EXPECT_EQ(std::memcmp(&builtin, &device, sizeof device), 0);
        // A file an older version wrote still gives every fact it had, and
        // the ones it lacks follow from them as the table has them.
        ASSERT_EQ(scan(OLD_FILE, p.id), 1);
        EXPECT_EQ(name(), p.name);
        EXPECT_EQ(device.write_latches, builtin.write_latches);
        EXPECT_EQ(device.config_words, builtin.config_words);
        EXPECT_EQ(device.config_time, builtin.config_time);
        EXPECT_EQ(device.type_code, builtin.type_code);
        EXPECT_EQ(device.flash_size, p.flash);
        EXPECT_EQ(device.row_size, p.row);
        EXPECT_EQ(device.eeprom_size, p.eeprom);
        EXPECT_EQ(device.eeprom_base, p.eeprom ? 0xF000 : 0);
        const bool type1 = p.row == 0;
        EXPECT_EQ(device.type_code, type1 ? 1 : 0);
        EXPECT_EQ(device.vpp, type1 ? 95 : 85);
        EXPECT_EQ(device.data_time, type1 ? 6000 : 5000);
        EXPECT_EQ(device.bulk_erase_time, type1 ? 8000 : 5000);
        EXPECT_EQ(device.osccal_address, type1 ? 0x3FF : 0);
        EXPECT_EQ(device.save_mask, type1 ? 0x3000 : 0);
        EXPECT_EQ(device.zero_mask, type1 ? 0x31FF : 0x3FFF);
        EXPECT_EQ(device.prog_time, 2500);
        EXPECT_EQ(device.row_erase_time, 2500);
    }
    // Full 14-bit comparison for the PIC16F1705 pair; other IDs match nothing.
    for (unsigned id : {0x3EE0u, 0x0001u, 0x3FFEu, 0x1C00u}) {
        EXPECT_EQ(scan(written, id), 0) << std::hex << id;
        EXPECT_EQ(name(), "(unknown)");
        EXPECT_EQ(device.flash_size, 0x8000);
        EXPECT_EQ(device.row_size, 16);
        EXPECT_EQ(device.vpp, 85);
    }
}

void count_parts(const Part& part, void* context) {
    auto* names = static_cast<std::vector<std::string>*>(context);
    names->push_back(part.name);
}

// The built-in table is the base; the user's file lays its lines over it: a
// line adds a part or replaces the built-in part of its name, whatever ID it
// gives, and its lines are looked at before the table's.
TEST_F(DeviceDbTest, UserLinesAddToAndReplaceTheBuiltInParts) {
    // A file an older picup wrote still finds the parts built in since, and
    // standard error says once that the file lacks them.
    write_file(path("picup.dat"), OLD_FILE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(0x23C3), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "picup: " + path("picup.dat") + " holds 12 of the " + std::to_string(PART_COUNT) +
                  " built-in parts; the others are taken from the built-in list (rename or delete the "
                  "file and the next run writes it with every part)\n");
    EXPECT_EQ(name(), "PIC16F1939");
    EXPECT_EQ(device.row_size, 32);
    EXPECT_EQ(device.write_latches, 8);
    EXPECT_EQ(device.eeprom_base, 0xF000);
    // Parts the file has come from the file.
    write_file(path("picup.dat"), "PIC16F1825 0x2760 0x3FE0 0x0010 0x0100\n");
    reset_records();
    testing::internal::CaptureStderr();
    load(0x2761);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(name(), "PIC16F1825");
    EXPECT_EQ(device.flash_size, 0x100);

    // A line with another ID moves its part there: the built-in line of that
    // name no longer claims its old ID, which another user line may take.
    write_file(path("picup.dat"),
               "PIC16F1939 0x3333 0x3FFF 0x0020 0x1000 E:128\n"
               "PICNEW 0x23C0 0x3FE0 0x0010 0x0100\n");
    reset_records();
    testing::internal::CaptureStderr();
    load(0x3333);
    EXPECT_EQ(name(), "PIC16F1939");
    EXPECT_EQ(device.flash_size, 0x1000);
    EXPECT_EQ(device.write_latches, 32);
    EXPECT_EQ(device.eeprom_size, 128);
    reset_records();
    load(0x23C3);
    EXPECT_EQ(name(), "PICNEW");
    write_file(path("picup.dat"), "PIC16f1939 0x3333 0x3FFF 0x0020 0x1000\n");  // names match in any case
    reset_records();
    load(0x23C3);
    EXPECT_EQ(name(), "(unknown)");
    EXPECT_EQ(device.flash_size, 0x8000);
    // A user's line of a new name wins over a built-in part with its ID.
    write_file(path("picup.dat"), "PIC16F1825X 0x2760 0x3FE0 0x0020 0x2000\n");
    reset_records();
    load(0x2761);
    EXPECT_EQ(name(), "PIC16F1825X");
    reset_records();
    load(0x2861);
    EXPECT_EQ(name(), "PIC16LF1825");
    testing::internal::GetCapturedStderr();

    // The list /PARTS shows and /PART= checks against: the user's lines, then
    // the built-in parts they leave.
    write_file(path("picup.dat"),
               "PIC16F1939 0x3333 0x3FFF 0x0020 0x1000 E:128\n"
               "PIC_SHORT 0x1000\n"
               "PICNEW 0x23C0 0x3FE0 0x0010 0x0100\n");
    device.flash_size = 0x1234;
    std::vector<std::string> names;
    testing::internal::CaptureStderr();
    EXPECT_EQ(device_db_each(count_parts, &names), PART_COUNT + 1);
    EXPECT_EQ(device_db_knows("picnew"), true);
    EXPECT_EQ(device_db_knows("PIC16LF1939"), true);
    EXPECT_EQ(device_db_knows("16F1939"), false);
    EXPECT_EQ(device_db_knows("PIC_SHORT"), false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the look-up has told the malformed line";
    EXPECT_EQ(device.flash_size, 0x1234) << "the connected part stays";
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[0], "PIC16F1939");
    EXPECT_EQ(names[1], "PICNEW");
    EXPECT_EQ(std::count(names.begin(), names.end(), "PIC16F1939"), 1);
    char nearest[128];
    EXPECT_EQ(device_db_nearest("16F1825", nearest, sizeof nearest), 1);
    EXPECT_STREQ(nearest, "PIC16F1825");
    EXPECT_EQ(device_db_nearest("pic16f1939x", nearest, sizeof nearest), 1);
    EXPECT_STREQ(nearest, "PIC16F1939");
    EXPECT_EQ(device_db_nearest("PIC16F193", nearest, sizeof nearest), 4);
    EXPECT_STREQ(nearest, "PIC16F1939, PIC16F1933, PIC16F1934 or PIC16F1936");
    EXPECT_EQ(device_db_nearest("PICNE", nearest, sizeof nearest), 1);
    EXPECT_STREQ(nearest, "PICNEW");
    EXPECT_EQ(device_db_nearest("PIC16F1825", nearest, 8), 1);
    EXPECT_STREQ(nearest, "PIC16F1") << "cut, never overrun";
}

TEST_F(DeviceDbTest, WhichLinesAreDeviceLines) {
    const std::string file =
        "p16x 0x1000 0x3FFF 0x10 0x100\n"
        "* PIC_A 0x1000 0x3FFF 0x10 0x100\n"
        "# PIC_B 0x1000 0x3FFF 0x10 0x100\n"
        "1 PIC_C 0x1000 0x3FFF 0x10 0x100\n"
        "\n\n"
        " \t PIC_D 0x1000 0x3FFF 0x10 0x200\n"
        "PIC_E 0x1000 0x3FFF 0x10 0x300 garbage\n";
    ASSERT_EQ(scan(file, 0x1000), 1);
    EXPECT_EQ(name(), "PIC_D");
    EXPECT_EQ(device.flash_size, 0x200);

    // The first matching line wins; what follows is never read.
    ASSERT_EQ(scan("PIC_1 1000 3FFF 10 100 V:90\nPIC_2 1000 3FFF 10 100 V:99\nPIC_3 1000", 0x1000), 1);
    EXPECT_EQ(name(), "PIC_1");

    // Every line is read on its own: a short line never takes fields from
    // the next one; it is reported with its line number and skipped, and the
    // line after it is read as it stands.
    testing::internal::CaptureStderr();
    ASSERT_EQ(scan("* comment\n\nPIC_S 0x1000 0x3FFF 0x10\nPIC_T 0x1000 0x3FFF 0x10 0x400\n"
                   "PIC_U 0x1000 0x3FFF 0x10 0x500\n",
                   0x1000),
              1);
    EXPECT_EQ(name(), "PIC_T");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "picup: picup.dat:3: device line needs <name> <ID> <mask> <row size> <flash size>; "
              "skipped\n");
    testing::internal::CaptureStderr();
    ASSERT_EQ(scan("PIC_S 0x1000 0x3FFF\r\n* PIC_T 0x1000 0x3FFF 0x10 0x400\r\nPIC_U 1000 3FFF 10 500\r\n", 0x1000), 1);
    EXPECT_EQ(name(), "PIC_U");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("picup.dat:1: "), std::string::npos);
    // Numbers on the next line complete nothing: no match, both lines told.
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan("PIC_S 0x1000 0x3FFF\n0x10 0x600\nPIC_V 0x1000\n", 0x1000), 0);
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("picup.dat:1: "), std::string::npos);
    EXPECT_NE(told.find("picup.dat:3: "), std::string::npos);
    EXPECT_EQ(told.find("picup.dat:2: "), std::string::npos);
    EXPECT_EQ(name(), "(unknown)");
    // A new chip's line missing its flash size above a supported one does not
    // hide it; lines after the match are not read, so not reported either.
    testing::internal::CaptureStderr();
    ASSERT_EQ(scan("PIC16F1829 0x27E0 0x3FE0 0x0020\nPIC16F1825 0x2760 0x3FE0 0x0020 0x2000 E:256\n"
                   "PIC_BAD\n",
                   0x2763),
              1);
    EXPECT_EQ(name(), "PIC16F1825");
    EXPECT_EQ(device.eeprom_size, 256);
    told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("picup.dat:1: "), std::string::npos);
    EXPECT_EQ(told.find("picup.dat:3: "), std::string::npos);

    // Hexadecimal fields: with or without 0x, either case, with a sign.
    ASSERT_EQ(scan("PIC_H 0XAbC 0x3fff +10 0X7f\n", 0xABC), 1);
    EXPECT_EQ(device.row_size, 0x10);
    EXPECT_EQ(device.flash_size, 0x7F);

    // Nothing usable: no match, defaults kept.
    EXPECT_EQ(scan("", 0x1000), 0);
    EXPECT_EQ(scan("PIC_Z 0x1000", 0x1000), 0);
    EXPECT_EQ(scan("PIC_Z 0x1000 0x3FFF 0x10 zz\n", 0x1000), 0);
    EXPECT_EQ(device.flash_size, 0x8000);
    EXPECT_EQ(name(), "(unknown)");
}

TEST_F(DeviceDbTest, LongNamesAreCutAtTwentyCharacters) {
    // The 21st character starts the hardware ID field.
    ASSERT_EQ(scan("PIC16F1825XXXXXXXXXX2760 0x3FE0 0x0020 0x2000\n", 0x2761), 1);
    EXPECT_EQ(name(), "PIC16F1825XXXXXXXXXX");
    EXPECT_EQ(device.flash_size, 0x2000);
    // When that leaves a non-number, the line is malformed and skipped.
    EXPECT_EQ(scan("PIC16F1825XXXXXXXXXXYY 0x2760 0x3FE0 0x0020 0x2000\n", 0x2761), 0);
    EXPECT_EQ(name(), "(unknown)");
}

TEST_F(DeviceDbTest, Parameters) {
    const std::string head = "PIC_P 0x1000 0x3FFF 0x10 0x100 ";
    ASSERT_EQ(scan(head + "V:0x5F O:1023 B: 5000 D:07 P:0 R:0x10 S:0x3000 T:2 Z:0x31FF\n", 0x1000), 1);
    EXPECT_EQ(device.vpp, 95);
    EXPECT_EQ(device.osccal_address, 0x3FF);
    EXPECT_EQ(device.bulk_erase_time, 5000);
    EXPECT_EQ(device.data_time, 7);
    EXPECT_EQ(device.prog_time, 0);
    EXPECT_EQ(device.row_erase_time, 16);
    EXPECT_EQ(device.save_mask, 0x3000);
    EXPECT_EQ(device.type_code, 2);
    EXPECT_EQ(device.zero_mask, 0x31FF);

    // The letters for latches, configuration words and their masks,
    // calibration words, configuration time and the VPP range; without them a
    // line gets latches as its rows, its family's configuration words and the
    // EEPROM time for them.
    ASSERT_EQ(scan(head + "L:8 G:3 M:0x0EE3,0x3F83 A:0x800A N:3 W:4000 K:80 U:90\n", 0x1000), 1);
    EXPECT_EQ(device.write_latches, 8);
    EXPECT_EQ(device.config_words, 3);
    EXPECT_EQ(device.config_masks[0], 0x0EE3);
    EXPECT_EQ(device.config_masks[1], 0x3F83);
    EXPECT_EQ(device.config_masks[2], 0x3FFF);
    EXPECT_EQ(device.config_masks[3], 0) << "a word the part does not have";
    EXPECT_EQ(device.calibration_first, 0x800A);
    EXPECT_EQ(device.calibration_count, 3);
    EXPECT_EQ(device.config_time, 4000);
    EXPECT_EQ(device.vpp_min, 80);
    EXPECT_EQ(device.vpp_max, 90);
    ASSERT_EQ(scan(head + "D:6000 T:1\n", 0x1000), 1);
    EXPECT_EQ(device.write_latches, 0x10);
    EXPECT_EQ(device.config_words, 1);
    EXPECT_EQ(device.config_time, 6000);
    ASSERT_EQ(scan("PIC_W 0x1000 0x3FFF 0 0x100\n", 0x1000), 1);
    EXPECT_EQ(device.write_latches, 1);
    EXPECT_EQ(device.config_words, 2);

    // Lower-case and unknown letters: the number is dropped, and standard
    // error names the file, the line and the letter.
    testing::internal::CaptureStderr();
    ASSERT_EQ(scan("*\n" + head + "e:256 C:5 v:90 V:0 T:1\n", 0x1000), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "picup: picup.dat:2: unknown parameter e: in device line; ignored\n"
              "picup: picup.dat:2: unknown parameter C: in device line; ignored\n"
              "picup: picup.dat:2: unknown parameter v: in device line; ignored\n");
    EXPECT_EQ(device.eeprom_size, 0);
    EXPECT_EQ(device.eeprom_base, 0);
    EXPECT_EQ(device.vpp, 0);
    EXPECT_EQ(device.type_code, 1);

    // E:0 never clears a size; a later letter overrides an earlier one.
    ASSERT_EQ(scan(head + "E:0\n", 0x1000), 1);
    EXPECT_EQ(device.eeprom_base, 0);
    ASSERT_EQ(scan(head + "E:128 E:0 V:90 V:91\n", 0x1000), 1);
    EXPECT_EQ(device.eeprom_size, 128);
    EXPECT_EQ(device.eeprom_base, 0xF000);
    EXPECT_EQ(device.vpp, 91);

    // Parameters stop at the line end, even right after a colon.
    ASSERT_EQ(scan(head + "V:\n 90 T:1\nP:1\n", 0x1000), 1);
    EXPECT_EQ(device.vpp, 85);
    EXPECT_EQ(device.type_code, 0);
    EXPECT_EQ(device.prog_time, 2500);
    ASSERT_EQ(scan(head + "V:", 0x1000), 1);
    EXPECT_EQ(device.vpp, 85);
    ASSERT_EQ(scan(head + "V:91", 0x1000), 1);
    EXPECT_EQ(device.vpp, 91);

    // A token of any length is taken safely and parsing goes on after it.
    ASSERT_EQ(scan(head + "C:" + std::string(5000, '7') + " V:92 X:" + std::string(3000, 'f') + " T:1\n",
                   0x1000),
              1);
    EXPECT_EQ(device.vpp, 92);
    EXPECT_EQ(device.type_code, 1);
    ASSERT_EQ(scan(head + "D:" + std::string(4000, '0') + "\n", 0x1000), 1);
    EXPECT_EQ(device.data_time, 0);
}

TEST_F(DeviceDbTest, CrLfFilesReadLikeLfFiles) {
    std::string crlf;
    for (const char* p = OLD_FILE; *p; ++p) {
        if (*p == '\n') crlf += '\r';
        crlf += *p;
    }
    for (unsigned id : {0x1B85u, 0x0F83u, 0x3057u, 0x2CE0u}) {
        ASSERT_EQ(scan(OLD_FILE, id), 1);
        Part lf = device;
        std::string lf_name = name();
        ASSERT_EQ(scan(crlf, id), 1);
        EXPECT_EQ(name(), lf_name);
        EXPECT_EQ(std::memcmp(&lf, &device, sizeof device), 0) << lf_name;
    }
    ASSERT_EQ(scan("PIC_C 1000 3FFF 10 100 V:\r\n90\r\nT:1\r\n", 0x1000), 1);
    EXPECT_EQ(device.vpp, 85);
    EXPECT_EQ(device.type_code, 0);
    ASSERT_EQ(scan("PIC_C 1000 3FFF 10 100 V:90 T:1\r\n", 0x1000), 1);
    EXPECT_EQ(device.vpp, 90);
    EXPECT_EQ(device.type_code, 1);
}

}  // namespace
