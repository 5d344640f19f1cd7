// The progress display and the summary: the bar's text, when it is drawn and
// erased on a terminal, that nothing at all is written when no terminal is
// watching, and the totals the passes over program flash and /READ announce.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "devicedb/devicedb.h"
#include "image/image.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "cli/options.h"
#include "sim/inproc.h"
#include "ui/progress.h"
#include "ui/status.h"

namespace {

const std::string ERASE = "\033[K";

// A display attached to a temporary file, read back as text.
class Display : public ::testing::Test {
protected:
    std::FILE* out = nullptr;

    void SetUp() override {
        inproc::reset();
        out = std::tmpfile();
        ASSERT_NE(out, nullptr);
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
    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }
};

std::string bar(long done, long total, const char* unit, long ms, int columns, int size = 200) {
    char buf[200];
    int n = ui_format_bar(buf, size, done, total, unit, ms, columns);
    EXPECT_EQ(n, static_cast<int>(std::string(buf).size()));
    return buf;
}

TEST(ProgressBar, TextShowsGraphPercentCountAndTime) {
    // 80 columns give a graph of 16 cells.
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 80), "[########--------]  50% 1024/2048 words 1.2 s");
    EXPECT_EQ(bar(0, 2048, "words", 0, 80), "[----------------]   0% 0/2048 words 0.0 s");
    EXPECT_EQ(bar(256, 256, "bytes", 61999, 80), "[################] 100% 256/256 bytes 61.9 s");
    // Done beyond the total, a negative count and time are held to the range.
    EXPECT_EQ(bar(5000, 100, "words", -5, 80), "[################] 100% 100/100 words 0.0 s");
    EXPECT_EQ(bar(-3, 100, "words", 0, 80), "[----------------]   0% 0/100 words 0.0 s");
    // A pass with nothing to do counts as complete, not as a division by zero.
    EXPECT_EQ(bar(0, 0, "words", 0, 80), "[################] 100% 0/0 words 0.0 s");
    // The graph follows the width, within 8 and 30 cells.
    EXPECT_EQ(bar(1, 2, "words", 0, 20).substr(0, 10), "[####----]");
    EXPECT_EQ(bar(1, 2, "words", 0, 1000).size(), bar(1, 2, "words", 0, 150).size());
    // A short line loses the elapsed time first, then the count, then cells of
    // the graph; the percentage goes last, and nothing is ever wider.
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 37), "[####----]  50% 1024/2048 words 1.2 s");
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 36), "[####----]  50% 1024/2048 words");
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 30), "[####----]  50%");
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 11), "[##--]  50%");
    EXPECT_EQ(bar(2048, 2048, "words", 1234, 8), "[#] 100%");
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 7), " 50%");
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 4), " 50%");
    EXPECT_EQ(bar(1024, 2048, "words", 1234, 3), "");
    for (int width = 0; width <= 120; ++width) {
        EXPECT_LE(bar(123456, 999999, "words", 987654, width).size(), static_cast<size_t>(width));
        std::string text = bar(5, 10, "bytes", 0, width);
        if (width >= 4) {
            EXPECT_NE(text.find(" 50%"), std::string::npos) << width;
        } else {
            EXPECT_EQ(text, "") << width;
        }
    }
    // A short buffer gets a terminated prefix, never an overrun.
    char small[12];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(ui_format_bar(small, 8, 1, 2, "words", 0, 80), 7);
    EXPECT_EQ(std::string(small), "[######");
    EXPECT_EQ(small[8], 'x');
    EXPECT_EQ(ui_format_bar(small, 0, 1, 2, "words", 0, 80), 0);
}

TEST_F(Display, BarIsDrawnAtMostTenTimesASecondAndErasedAtTheEnd) {
    ui_attach(out, true, 80);
    ui_progress_begin("programming flash", 100, "words");
    EXPECT_STREQ(ui_current_stage(), "programming flash");
    // Within the first tenth of a second nothing is drawn.
    platform_sleep_ms(50);
    ui_progress_step(10);
    EXPECT_EQ(written(), "");
    platform_sleep_ms(60);
    ui_progress_step(10);
    std::string first = written();
    // Cursor saved, wrapping off, old bar erased, new bar, wrapping on, cursor back.
    // The bar fills the 79 columns behind the blank that follows the cursor.
    EXPECT_EQ(first, "\0337\033[?7l\033[K [###------------]  20% 20/100 words 0.1 s\033[?7h\0338");
    // Steps closer together than 100 ms do not redraw.
    for (int i = 0; i < 5; ++i) {
        platform_sleep_ms(10);
        ui_progress_step(1);
    }
    EXPECT_EQ(written(), first);
    platform_sleep_ms(60);
    ui_progress_step(1);
    std::string second = written();
    EXPECT_EQ(count(second, "\0337"), 2);
    EXPECT_NE(second.find(" 26/100 words"), std::string::npos);
    ui_progress_end();
    EXPECT_EQ(written(), second + ERASE);
    // Once erased, neither a further clear nor a step after the end draws.
    ui_progress_clear();
    platform_sleep_ms(500);
    ui_progress_step(10);
    EXPECT_EQ(written(), second + ERASE);
}

TEST_F(Display, BarFitsTheRestOfTheLineBehindTheStageText) {
    // 40 columns, 28 of them taken by the stage text: 11 are left behind the
    // blank, which hold a shorter graph and the percentage.
    ui_attach(out, true, 40);
    testing::internal::CaptureStdout();
    ui_print("\nProgramming program flash...");
    ui_progress_begin("programming flash", 100, "words");
    platform_sleep_ms(150);
    ui_progress_step(50);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nProgramming program flash...");
    EXPECT_EQ(written(), "\0337\033[?7l\033[K [##--]  50%\033[?7h\0338");
    ui_progress_end();
    // A text that leaves no room on its line: no bar at all, not a clipped one.
    std::string before = written();
    testing::internal::CaptureStdout();
    ui_print("\n%s", std::string(39, 'x').c_str());
    ui_progress_begin("saving memory", 100, "words");
    platform_sleep_ms(150);
    ui_progress_step(50);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(written(), before);
    // A listing line of 48 characters wrapped: the cursor stands in column 8
    // of the second screen line, 31 columns are left.
    testing::internal::CaptureStdout();
    ui_print("\n  0000: ");
    for (int i = 0; i < 8; ++i) ui_print(" %04x", i);
    ui_progress_begin("reading memory", 100, "words");
    platform_sleep_ms(150);
    ui_progress_step(50);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(written().substr(before.size()),
              "\0337\033[?7l\033[K [####----]  50% 50/100 words\033[?7h\0338");
    ui_progress_end();
}

TEST_F(Display, ClearErasesOnlyADrawnBarAndTheNextStepDrawsAgain) {
    ui_attach(out, true, 80);
    ui_progress_begin("reading memory", 10, "words");
    ui_progress_clear();  // nothing drawn yet: nothing to erase
    EXPECT_EQ(written(), "");
    platform_sleep_ms(100);
    ui_progress_step(1);
    ui_progress_clear();
    std::string text = written();
    EXPECT_EQ(text.substr(text.size() - ERASE.size()), ERASE);
    EXPECT_EQ(count(text, ERASE), 2);  // the one inside the drawing, then the clear
    platform_sleep_ms(100);
    ui_progress_step(1);
    EXPECT_EQ(count(written(), "\0338"), 2);
    // A new pass erases a bar left standing by the one before.
    ui_progress_begin("verifying flash", 10, "words");
    EXPECT_EQ(count(written(), ERASE), 4);
    EXPECT_STREQ(ui_current_stage(), "verifying flash");
}

TEST_F(Display, NothingIsWrittenWhenNoTerminalWatches) {
    ui_attach(out, false, 80);
    ui_progress_begin("programming flash", 100, "words");
    for (int i = 0; i < 20; ++i) {
        platform_sleep_ms(200);
        ui_progress_step(5);
    }
    ui_progress_clear();
    ui_progress_end();
    ui_count_word_loaded();
    ui_summary();
    EXPECT_EQ(written(), "");
}

// The live lines go below the line the run's text left the cursor on, cut to
// the width, and the cursor goes back up to its column; clearing erases them
// once. A cursor that waits to wrap, or no terminal, gets none.
TEST_F(Display, LiveLinesStandBelowTheTextAndTheCursorGoesBack) {
    ui_attach(out, true, 40);
    testing::internal::CaptureStdout();
    ui_print("\nRunning on 2 ports...");
    testing::internal::GetCapturedStdout();
    const char* lines[2] = {"/dev/ttyUSB0: programming flash 45%",
                            "/dev/ttyUSB1: reading back user ID and config words"};
    ui_live_show(lines, 2);
    EXPECT_EQ(written(), "\033[J\r\n/dev/ttyUSB0: programming flash 45%"
                         "\r\n/dev/ttyUSB1: reading back user ID and "  // 39 of 40 columns
                         "\033[2A\033[22G");
    ui_live_show(lines, 1);  // a port finished: the erase takes its line too
    EXPECT_EQ(count(written(), "\033[J"), 2);
    EXPECT_EQ(written().substr(written().size() - 9), "\033[1A\033[22G");
    ui_live_clear();
    ui_live_clear();
    EXPECT_EQ(count(written(), "\033[J"), 3);
    // A diagnostic line erases them first.
    ui_live_show(lines, 2);
    ui_progress_clear();
    EXPECT_EQ(count(written(), "\033[J"), 5);
    std::string before = written();
    testing::internal::CaptureStdout();
    ui_print("\n%s", std::string(40, 'x').c_str());  // the cursor waits to wrap
    testing::internal::GetCapturedStdout();
    ui_live_show(lines, 2);
    EXPECT_EQ(written(), before);
    ui_attach(out, false, 40);
    ui_live_show(lines, 2);
    EXPECT_EQ(written(), before);
}

// The status file: each change of stage or percentage rewrites the one record
// and a reader gets it back; an unchanged note writes nothing; a record whose
// two sequence numbers differ (a rewrite caught half done) is none; a file
// that holds anything else is never taken.
TEST_F(Display, StatusFileHoldsTheStageAndPercentage) {
    char dir[] = "/tmp/picup_status_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/port1.status";
    char stage[80];
    int percent = 0;
    EXPECT_FALSE(ui_status_read(path.c_str(), stage, sizeof stage, &percent));
    ASSERT_TRUE(ui_status_open(path.c_str()));
    ui_attach(out, false, 0);
    ui_stage("identifying the target");
    ASSERT_TRUE(ui_status_read(path.c_str(), stage, sizeof stage, &percent));
    EXPECT_STREQ(stage, "identifying the target");
    EXPECT_EQ(percent, -1);
    ui_progress_begin("verifying flash", 200, "words");
    ui_progress_step(50);
    ASSERT_TRUE(ui_status_read(path.c_str(), stage, sizeof stage, &percent));
    EXPECT_STREQ(stage, "verifying flash");
    EXPECT_EQ(percent, 25);
    std::string record = [&] {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        std::string text;
        for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
        if (f != nullptr) std::fclose(f);
        return text;
    }();
    ASSERT_EQ(record.size(), 96u);
    ui_progress_step(1);  // 25.5 %: still 25
    std::FILE* f = std::fopen(path.c_str(), "rb");
    char again[97] = {};
    ASSERT_EQ(std::fread(again, 1, 96, f), 96u);
    std::fclose(f);
    EXPECT_EQ(std::string(again, 96), record);
    ui_progress_end();
    // Half rewritten: the sequence numbers at the two ends differ.
    std::string torn = record;
    torn[87] = torn[87] == '9' ? '0' : '9';
    std::string torn_path = std::string(dir) + "/torn.status";
    f = std::fopen(torn_path.c_str(), "wb");
    std::fwrite(torn.data(), 1, torn.size(), f);
    std::fclose(f);
    EXPECT_FALSE(ui_status_read(torn_path.c_str(), stage, sizeof stage, &percent));
    // A file with other contents is refused and left as it was; an empty one
    // and one with a record are taken.
    std::string hex_path = std::string(dir) + "/blink.hex";
    f = std::fopen(hex_path.c_str(), "wb");
    std::fputs(":00000001FF\n", f);
    std::fclose(f);
    EXPECT_FALSE(ui_status_open(hex_path.c_str()));
    f = std::fopen(hex_path.c_str(), "rb");
    char kept[32] = {};
    std::fread(kept, 1, sizeof kept - 1, f);
    std::fclose(f);
    EXPECT_STREQ(kept, ":00000001FF\n");
    EXPECT_TRUE(ui_status_open(path.c_str()));
    std::string empty = std::string(dir) + "/empty.status";
    std::fclose(std::fopen(empty.c_str(), "wb"));
    EXPECT_TRUE(ui_status_open(empty.c_str()));
    std::string cmd = "rm -rf '" + std::string(dir) + "'";
    (void)std::system(cmd.c_str());
}

TEST_F(Display, SummaryCountsLoadedWordsAndBytesSent) {
    std::strcpy(program_stem, "picup");
    ui_attach(out, true, 80);
    for (int i = 0; i < 3; ++i) ui_count_word_loaded();
    ui_count_sent(250);
    ui_count_sent(6);
    platform_sleep_ms(2345);
    ui_summary();
    EXPECT_EQ(written(), "picup: 3 words written, 256 bytes sent in 2.3 s\n");
    // Attaching starts the counts and the clock afresh.
    ui_attach(out, true, 80);
    ui_summary();
    EXPECT_EQ(written(), "picup: 3 words written, 256 bytes sent in 2.3 s\n"
                         "picup: 0 words written, 0 bytes sent in 0.0 s\n");
}

TEST(ProgressTotals, FlashAndReadTotalsCountWhatThePassesTouch) {
    image_init();
    device_db_set_defaults();
    device.flash_size = 0x800;
    device.row_size = 32;
    device.eeprom_size = 256;
    device.eeprom_base = 0xF000;
    // Nothing to write: every total is 0.
    EXPECT_EQ(image_flash_cells(0x800, 32), 0);
    EXPECT_EQ(image_flash_cells(0x800, 0), 0);
    image[0x005] = 0x1234;  // row 0
    image[0x7FF] = 0x0001;  // the last row
    image[0x040] = 0x4000;  // above 14 bits: no data, for rows as for words
    EXPECT_EQ(image_flash_cells(0x800, 32), 2 * 32);
    EXPECT_EQ(image_flash_cells(0x800, 16), 2 * 16);
    EXPECT_EQ(image_flash_cells(0x800, 0), 2);
    // A limit that cuts the last row still counts every row that starts below it.
    EXPECT_EQ(image_flash_cells(0x7F0, 32), 2 * 32);
    EXPECT_EQ(image_flash_cells(0x7E0, 32), 1 * 32);
    // A limit beyond the image stays inside it.
    image[0xFFFF] = 0x0001;
    EXPECT_EQ(image_flash_cells(0x20000, 0), 3);

    // /READ: flash 0x7FC..0x7FF, then 0x8000..0x8003; nothing in between.
    EXPECT_EQ(image_shown_cells(0x7FC, 0x8003), 8);
    EXPECT_EQ(image_shown_cells(5, -1), 1);                    // a single address
    EXPECT_EQ(image_shown_cells(0xF0FF, 0xF0F0), 1);  // to below from: on to 0xFFFF
    EXPECT_EQ(image_shown_cells(0, 0x7FFFFFFF), 0x800 + 32 + 256);
    EXPECT_EQ(image_shown_cells(0x10000, 0x10010), 0);
    EXPECT_EQ(image_shown_cells(-1, 5), 0);
}

}  // namespace
