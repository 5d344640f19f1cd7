// The reasons printed for runs that end without a console message: where and
// why the HEX reader refused a file, and the stage in which the programmer
// refused a frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "devicedb/devicedb.h"
#include "image/hex.h"
#include "image/image.h"
#include "platform/platform.h"
#include "cli/options.h"
#include "sim/inproc.h"
#include "ui/diagnose.h"
#include "ui/progress.h"

namespace {

class Diagnose : public ::testing::Test {
protected:
    std::FILE* out = nullptr;

    void SetUp() override {
        inproc::reset();
        image_init();
        device_db_set_defaults();
        device.flash_size = 0x800;
        std::strcpy(program_stem, "picup");
        out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        ui_attach(out, false, 0);
    }
    void TearDown() override {
        ui_attach(nullptr, false, 0);
        std::fclose(out);
    }
    std::string written() {
        std::fflush(out);
        std::string text;
        std::rewind(out);
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        return text;
    }
    // Loads `text` as a HEX file and returns the reason line printed for it.
    std::string reason_for(const std::string& text, int* result = nullptr) {
        std::FILE* f = std::tmpfile();
        std::fputs(text.c_str(), f);
        std::rewind(f);
        int r = hex_load(f, image, device.flash_size);
        std::fclose(f);
        if (result != nullptr) *result = r;
        long before = static_cast<long>(written().size());
        hex_report_fault("blinky.hex");
        return written().substr(static_cast<std::size_t>(before));
    }
};

const std::string GOOD = ":0400000001020304F2\n";  // sums to 0
const std::string END = ":00000001FF\n";

TEST_F(Diagnose, EachHexFaultNamesTheFileLineAndReason) {
    int r = 0;
    // Checksum: the line where the record starts; text lines before it count.
    EXPECT_EQ(reason_for("; built by hand\n" + GOOD + ":0400000001020304F3\n" + END, &r),
              "picup: blinky.hex:3: checksum mismatch\n");
    EXPECT_EQ(r, -1);
    // A character that is no hexadecimal digit: its own line.
    EXPECT_EQ(reason_for(GOOD + GOOD + ":04000000010G0304F2\n"),
              "picup: blinky.hex:3: invalid hex digit\n");
    // A record cut short by its line end, with LF and with CR LF.
    EXPECT_EQ(reason_for(GOOD + ":04000000010203\n" + END),
              "picup: blinky.hex:2: record ends before its checksum\n");
    EXPECT_EQ(reason_for(":0400000001020304F2\r\n:04000000\r\n"),
              "picup: blinky.hex:2: record ends before its checksum\n");
    // The end of the file inside a record: the line the record began on.
    EXPECT_EQ(reason_for(GOOD + "\n\n:0400000001"), "picup: blinky.hex:4: file ends inside a record\n");
    // The first fault of a record is the one reported, not the reads after it.
    EXPECT_EQ(reason_for(":G4000000\n"), "picup: blinky.hex:1: invalid hex digit\n");
}

TEST_F(Diagnose, NoReasonWhereTheReaderSpokeOrNothingFailed) {
    int r = 0;
    // The address errors print their own message on standard output.
    testing::internal::CaptureStdout();
    EXPECT_EQ(reason_for(":02100000AABB89\n" + END, &r), "");  // word 0x800 beyond the flash
    EXPECT_EQ(r, -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nData from hexfile exceed flashsize!\n");
    // A good file, and a good file after a bad one: the old fault is gone.
    EXPECT_NE(reason_for(":0100000001FF\n"), "");
    EXPECT_EQ(reason_for(GOOD + END, &r), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(hex_fault(), HEX_FAULT_NONE);
}

TEST_F(Diagnose, WholeFileRefusalsAndSkippedWordsNameTheFile) {
    int r = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(reason_for(GOOD, &r), "picup: blinky.hex: no end-of-file record: the file is cut short\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(reason_for("not a hex file\n"), "picup: blinky.hex: no Intel HEX record in the file\n");
    EXPECT_EQ(reason_for(END), "picup: blinky.hex: no data for the chip's memory\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nHexfile has no end record - nothing written!\n"
              "\nHexfile holds no data - nothing written!\n"
              "\nHexfile holds no data - nothing written!\n");

    // One line for all read-only words skipped, none when nothing was skipped.
    device.flash_size = 0x800;
    device.type_code = 0;
    std::FILE* f = std::tmpfile();
    std::fputs((":020000040001F9\n:06000800010002000300EC\n" + GOOD + END).c_str(), f);
    std::rewind(f);
    EXPECT_EQ(hex_load(f, image, device.flash_size), 0);
    std::fclose(f);
    std::size_t before = written().size();
    hex_report_skipped("blinky.hex");
    EXPECT_EQ(written().substr(before), "picup: blinky.hex: data for 0x8004-0x8006 skipped: "
                         "reserved, revision and device ID words are read-only\n");
}

TEST_F(Diagnose, NakNamesTheStageAndStartsItsOwnLineOnATerminal) {
    ui_report_nak();
    EXPECT_EQ(written(), "picup: programmer refused a frame (NAK)\n");
    ui_stage("programming flash");
    ui_report_nak();
    EXPECT_EQ(written(), "picup: programmer refused a frame (NAK)\n"
                         "picup: programmer refused a frame (NAK) while programming flash\n");
    // On a terminal a bar standing after the stage text is erased first, and
    // the reason gets a line of its own below the unfinished stage text.
    std::FILE* term = std::tmpfile();
    ui_attach(term, true, 80);
    ui_progress_begin("verifying flash", 10, "words");
    platform_sleep_ms(150);
    ui_progress_step(1);
    ui_report_nak();
    std::fflush(term);
    std::rewind(term);
    std::string text;
    for (int c; (c = std::fgetc(term)) != EOF;) text += static_cast<char>(c);
    std::fclose(term);
    const std::string tail =
        "\033[K\npicup: programmer refused a frame (NAK) while verifying flash\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("\0337"), 0u);  // the bar was drawn before
}

}  // namespace
