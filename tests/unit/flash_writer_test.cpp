// The program flash writer on its own: whole rows or single words, what an
// empty image costs, and cells outside 14 bits.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "ops/flash.h"
#include "protocol/protocol.h"
#include "write_fixture.h"

namespace opstest {
namespace {

class FlashWriter : public OpsTest {
protected:
    // Frames of a command without arguments: the code and its check byte.
    int frames_of(int code) {
        const std::vector<uint8_t>& b = inproc::host_bytes();
        const uint8_t frame[] = {static_cast<uint8_t>(code), static_cast<uint8_t>(0x100 - code)};
        int count = 0;
        for (auto it = b.begin(); (it = std::search(it, b.end(), frame, frame + 2)) != b.end(); ++it)
            ++count;
        return count;
    }
};

void write_rows() { write_program_flash(true); }

const char* BOTH_TEXTS = "\nProgramming program flash...\nVerifying program flash...";

TEST_F(FlashWriter, RowModeWritesWholeRows) {
    connect(part("PIC16F1825"));
    for (int a = 0x40; a < 0x60; ++a) chip().poke(a, 0x0000);
    image[0x45] = 0x1234;
    // Above 0x3FFF a cell holds no data, for the row test as for the word
    // test: its row is left alone rather than written with the low 14 bits.
    image[0x70] = 0x5678;
    chip().poke(0x70, 0x0123);
    EXPECT_EQ(output_of(write_rows), BOTH_TEXTS);
    EXPECT_EQ(frames_of(CMD_ROW_ERASE), 1);
    EXPECT_EQ(frames_of(CMD_SYNC), 1);  // one per written row
    for (int a = 0x40; a < 0x60; ++a) ASSERT_EQ(chip().peek(a), a == 0x45 ? 0x1234 : 0x3FFF) << a;
    EXPECT_EQ(chip().peek(0x70), 0x0123);

    // After a bulk erase the rows are not erased one by one.
    reset_records();
    connect(part("PIC16F1825"));
    image[0x45] = 0x1234;
    output_of([] { write_program_flash(false); });
    EXPECT_EQ(frames_of(CMD_ROW_ERASE), 0);
    EXPECT_EQ(chip().peek(0x45), 0x1234);

    // Nothing to write: the two texts and no traffic at all.
    reset_records();
    connect(part("PIC16F1825"));
    EXPECT_EQ(output_of(write_rows), BOTH_TEXTS);
    EXPECT_TRUE(inproc::host_bytes().empty());
}

TEST_F(FlashWriter, WordModeWritesSingleWords) {
    connect(part("PIC12F629"));
    for (int a = 0; a < 0x400; ++a) chip().poke(a, 0x3FFF);
    image[0x000] = 0x2805;
    image[0x001] = 0x3FFF;
    image[0x3FE] = 0x0008;
    EXPECT_EQ(output_of(write_rows), BOTH_TEXTS);
    EXPECT_EQ(chip().peek(0x000), 0x2805);
    EXPECT_EQ(chip().peek(0x3FE), 0x0008);
    EXPECT_EQ(frames_of(CMD_ROW_ERASE), 0);

    // No data: still one sync per 32 addresses, and nothing else but them.
    reset_records();
    connect(part("PIC12F629"));
    EXPECT_EQ(output_of(write_rows), BOTH_TEXTS);
    EXPECT_EQ(frames_of(CMD_SYNC), 0x400 / 32);
    EXPECT_EQ(inproc::host_bytes().size(), 2u * 0x400 / 32);
}

}  // namespace
}  // namespace opstest
