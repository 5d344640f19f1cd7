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
    // The row fits the programmer's buffer, and the verify's read answers for it.
    EXPECT_EQ(frames_of(CMD_SYNC), 0);
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

    // No data: nothing at all goes out.
    reset_records();
    connect(part("PIC12F629"));
    EXPECT_EQ(output_of(write_rows), BOTH_TEXTS);
    EXPECT_TRUE(inproc::host_bytes().empty());
}

// A whole chip's worth of frames without replies: the host waits where the
// programmer's 256-byte receive buffer would otherwise overflow, and nowhere
// else. The emulated programmer loses every byte past its buffer, so a host
// that sends too much fails the write.
TEST_F(FlashWriter, SyncsFallWhereTheProgrammersBufferNeedsThem) {
    for (const char* name : {"PIC12F629", "PIC16F1825"}) {
        reset_records();
        connect(part(name));
        int size = device.flash_size;
        for (int a = 0; a < size; ++a) image[a] = static_cast<uint16_t>((a * 0x1F3 + 0x155) % 0x3FFF);
        // The calibration word goes back as the write sequence puts it back.
        if (device.osccal_address > 0) image[device.osccal_address] = chip().peek(device.osccal_address);
        sim::Programmer& p = inproc::programmer();
        EXPECT_EQ(output_of(write_rows), BOTH_TEXTS) << name;
        EXPECT_EQ(p.rx_overruns(), 0u) << name;
        EXPECT_LE(p.rx_unanswered_peak(), 256u) << name;
        // Every sync ends a window that could not take the next step (at most
        // 14 bytes: a load, and a programming cycle with its delay).
        size_t bytes = inproc::host_bytes().size();
        int syncs = frames_of(CMD_SYNC);
        EXPECT_GT(syncs, 0) << name;
        EXPECT_LE(static_cast<size_t>(syncs), bytes / (256 - 14) + 1) << name;
        // The verify reads as much as one reply may hold: 255 words.
        EXPECT_EQ(frames_of(CMD_READ_PROGRAM), (size + 254) / 255) << name;
        for (int a = 0; a < size; ++a) ASSERT_EQ(chip().peek(a), image[a]) << name << " " << a;
    }
}

}  // namespace
}  // namespace opstest
