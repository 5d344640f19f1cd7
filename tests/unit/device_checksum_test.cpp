// The device checksum against the chip maker's worked examples
// (data/checksum-vectors.csv: one row an example, with the value as printed
// and as recomputed from the stated formula; the recomputed one is tested, as
// four printed values are misprints), and the checksum of a chip after a run.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "devicedb/family.h"
#include "devicedb/part.h"
#include "ops/checksum.h"
#include "ops/device_checksum.h"
#include "ops/save.h"
#include "ops/write.h"
#include "write_fixture.h"

namespace {

std::string source_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/unit/"));
}

std::string vectors_path() { return source_dir() + "/tests/unit/data/checksum-vectors.csv"; }

// One CSV line into its fields; a quoted field may hold commas.
std::vector<std::string> csv_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : line) {
        if (c == '\r') continue;
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

using Row = std::map<std::string, std::string>;

std::vector<Row> read_vectors() {
    std::ifstream in(vectors_path());
    std::string line;
    std::vector<Row> rows;
    if (!std::getline(in, line)) return rows;
    std::vector<std::string> names = csv_fields(line);
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> fields = csv_fields(line);
        Row row;
        for (size_t i = 0; i < names.size() && i < fields.size(); ++i) row[names[i]] = fields[i];
        rows.push_back(row);
    }
    return rows;
}

// The hexadecimal numbers of a field, in order ("0x3fff 0x3713" -> two).
std::vector<int> numbers(const std::string& text) {
    std::vector<int> out;
    for (size_t p = text.find("0x"); p != std::string::npos; p = text.find("0x", p + 2))
        out.push_back(std::stoi(text.substr(p + 2), nullptr, 16));
    return out;
}

// The part names a row covers: "PIC12F629/675, PIC16F630/676 (...)",
// "PIC16F616/HV616", "PIC12F609/615, PIC16F610 (+HV)" (each also as HV).
std::vector<std::string> part_names(std::string text) {
    bool with_hv = text.find("(+HV)") != std::string::npos;
    size_t paren = text.find('(');
    if (paren != std::string::npos) text.erase(paren);
    std::vector<std::string> names;
    std::string family, prefix;  // "PIC16", and "PIC16F" or "PIC16LF"
    std::string piece;
    std::istringstream pieces(text);
    while (std::getline(pieces, piece, '/')) {
        std::istringstream words(piece);
        std::string word;
        while (std::getline(words, word, ',')) {
            while (!word.empty() && word.front() == ' ') word.erase(0, 1);
            while (!word.empty() && word.back() == ' ') word.pop_back();
            if (word.empty()) continue;
            std::string name;
            if (word.rfind("PIC", 0) == 0) {
                name = word;
                family = word.substr(0, 5);
                size_t digits = word.find_first_of("0123456789", 5);
                prefix = word.substr(0, digits);
            } else if (word[0] >= '0' && word[0] <= '9') {
                name = prefix + word;
            } else {
                name = family + word;
            }
            names.push_back(name);
            if (with_hv && name.size() > 5 && name[5] == 'F') names.push_back(family + "HV" + name.substr(6));
        }
    }
    return names;
}

// What a row gives for the cells of the image: program words, configuration
// words and user IDs, and cells that must never count set to something else.
void fill_image(const Part& part, const Row& row, std::vector<uint16_t>& cells) {
    cells.assign(IMAGE_SIZE, EMPTY_CELL);
    const std::string& flash = row.at("image");
    int last = device_checksum_last_address(part);
    if (flash.find("given") != std::string::npos) {
        // Only the sum of the program words is given: one word holds it.
        for (int a = 0; a <= last; ++a) cells[a] = 0;
        cells[0] = static_cast<uint16_t>(numbers(flash).at(0));
    } else if (flash.find("0x25E6 at") != std::string::npos) {
        cells[0] = 0x25E6;
        cells[last] = 0x25E6;
    } else if (flash.find("not used") != std::string::npos) {
        // Code protection on: what program memory holds must not count.
        cells[0] = 0x1234;
        cells[last] = 0x0ABC;
    }
    std::vector<int> config = numbers(row.at("config"));
    for (size_t i = 0; i < config.size(); ++i) cells[ADDR_CONFIG1 + i] = static_cast<uint16_t>(config[i]);
    std::vector<int> ids = numbers(row.at("user_ids"));
    for (size_t i = 0; i < ids.size() && i < USER_ID_WORDS; ++i)
        cells[ADDR_USER_ID + i] = static_cast<uint16_t>(ids[i]);
    // Never summed: data EEPROM, revision, device ID, calibration words (in
    // configuration space and, on the PIC12F629 family, at the top of flash).
    cells[ADDR_EEPROM] = 0x12;
    cells[ADDR_REVISION] = 0x0003;
    cells[ADDR_DEVICE_ID] = static_cast<uint16_t>(part.device_id);
    for (int i = 0; i < part.calibration_count; ++i)
        cells[part.calibration_first + i] = static_cast<uint16_t>(0x1A5A + i);
    if (part.osccal_address > 0) cells[part.osccal_address] = 0x3480;
}

}  // namespace

// Every example whose part is in the table, each of its parts: the stated
// summed range, the masks and the code protection of the row are the part's
// and its family's, and the checksum is the recomputed value.
TEST(DeviceChecksum, MakersExamplesForEveryPartInTheTable) {
    std::vector<Row> rows = read_vectors();
    ASSERT_GT(rows.size(), 100u) << vectors_path();
    int covered = 0;
    std::vector<uint16_t> cells;
    for (const Row& row : rows) {
        for (const std::string& name : part_names(row.at("part"))) {
            const Part* part = part_find_name(name.c_str());
            if (part == nullptr) continue;
            SCOPED_TRACE(name + " " + row.at("cp") + " " + row.at("image") + " " + row.at("config"));
            ++covered;
            const std::string& flash = row.at("image");
            if (flash.rfind("words 0..", 0) == 0) {
                EXPECT_EQ(device_checksum_last_address(*part), numbers(flash).at(0));
            }
            std::vector<int> masks = numbers(row.at("masks"));
            ASSERT_EQ(static_cast<int>(masks.size()), part->config_words);
            for (size_t i = 0; i < masks.size(); ++i) EXPECT_EQ(part->config_masks[i], masks[i]) << i;
            const ChipFamily& family = family_of(part->type_code);
            EXPECT_EQ(family_code_protected(family, static_cast<unsigned>(numbers(row.at("config")).at(0))),
                      row.at("cp") == "on");
            EXPECT_EQ(family.user_id_fold,
                      row.at("style")[0] == 'A' ? USER_ID_NIBBLES_JOINED : USER_ID_NIBBLES_ADDED);
            fill_image(*part, row, cells);
            EXPECT_EQ(device_checksum(*part, cells.data()), static_cast<unsigned>(numbers(row.at("expected_recomputed")).at(0)));
        }
    }
    // The enhanced examples (PIC16F1827, PIC16F1936 and their LF parts) and
    // the PIC12F629 family's at least; more as the table grows.
    EXPECT_GE(covered, 8 + 4 * 4);
}

// The repository's copy is the shared parts folder's, where that is at hand:
// every example the same, under a header that names its first column (the
// maker's document number) "document" and the printed value "expected_printed".
TEST(DeviceChecksum, VectorsAreTheSharedCopy) {
    std::ifstream shared(source_dir() + "/../shared/devices/checksum-vectors.csv", std::ios::binary);
    if (!shared) GTEST_SKIP() << "no ../shared beside the checkout";
    std::ifstream copy(vectors_path(), std::ios::binary);
    std::string theirs, ours;
    ASSERT_TRUE(std::getline(shared, theirs) && std::getline(copy, ours));
    std::vector<std::string> their_names = csv_fields(theirs), our_names = csv_fields(ours);
    ASSERT_EQ(our_names.size(), their_names.size());
    for (size_t i = 0; i < our_names.size(); ++i) {
        if (our_names[i] == "document" || our_names[i] == "expected_printed") continue;
        EXPECT_EQ(our_names[i], their_names[i]);
    }
    std::ostringstream a, b;
    a << shared.rdbuf();
    b << copy.rdbuf();
    EXPECT_EQ(a.str(), b.str());
}

namespace opstest {

class ChipChecksum : public OpsTest {
protected:
    // What the run queued goes out; the trace then holds only what follows.
    void settle() {
        sent();
        inproc::clear_trace();
    }
};

namespace {

// The chip's memory as image cells, read from the emulator behind the link.
std::vector<uint16_t> chip_cells(sim::Target& chip, const Part& part) {
    std::vector<uint16_t> cells(IMAGE_SIZE, EMPTY_CELL);
    for (int a = 0; a < (part.flash_size & 0x7FFF); ++a) cells[a] = chip.peek(a);
    for (int a = ADDR_USER_ID; a < static_cast<int>(ADDR_CONFIG1) + static_cast<int>(MAX_CONFIG_WORDS); ++a) cells[a] = chip.peek(a);
    return cells;
}

}  // namespace

// An upload with a bulk erase knows the chip: its checksum is the file's and
// costs no byte. A program-only upload knows neither flash nor configuration:
// without leave to read it gives none and sends nothing; with it, it reads and
// agrees with the chip's memory.
TEST_F(ChipChecksum, AfterUploadsWithAndWithoutBulkErase) {
    for (const char* name : {"PIC16F1825", "PIC12F629"}) {
        SCOPED_TRACE(name);
        reset_records();
        connect(part(name));
        std::string dir = name;
        for (char& c : dir) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        load_hex(examples_dir() + "/" + dir + "/blink.hex");
        file_write_flags = write_flags;
        unsigned file_sum = device_checksum(device, image);
        output_of(write_target);
        settle();
        EXPECT_EQ(device_checksum_after_run(false), static_cast<long>(file_sum));
        EXPECT_TRUE(sent().empty());
        EXPECT_EQ(file_sum, device_checksum(device, chip_cells(chip(), device).data()));
    }
    reset_records();
    connect(part("PIC16F1825"));
    chip().poke(0x8007, 0x3FE4);
    chip().poke(0x1000, 0x0123);
    image[0x10] = 0x2005;
    write_flags = file_write_flags = WF_PROGRAM;
    output_of(write_target);
    settle();
    EXPECT_EQ(device_checksum_after_run(false), -1);
    EXPECT_TRUE(sent().empty());
    long read = device_checksum_after_run(true);
    EXPECT_EQ(read, static_cast<long>(device_checksum(device, chip_cells(chip(), device).data())));
    EXPECT_FALSE(sent().empty());
    // The plain checksum takes the same read's sum.
    settle();
    long plain = checksum_after_run();
    EXPECT_TRUE(sent().empty());
    long words = 0;
    for (int a = 0; a < 0x2000; ++a) words += chip().peek(a);
    EXPECT_EQ(plain, words % 0x10000);
}

// A code-protected chip: the masked configuration words and the user IDs,
// read without touching the flash; after /SAVE= everything is known.
TEST_F(ChipChecksum, ProtectedChipAndSavedChip) {
    connect(part("PIC16F1827"));
    chip().poke(0x8007, 0x2C03);
    chip().poke(0x8008, 0x3AFC);
    for (int i = 0; i < 4; ++i) chip().poke(0x8000 + i, static_cast<uint16_t>(0x0123 + 0x0444 * i));
    EXPECT_EQ(device_checksum_after_run(true), 0x2C03 + 0x3210 + 0x3 + 0x7 + 0xB + 0xF);
    // One read of the configuration words, one of the user IDs: two replies
    // of 2 and 4 words, no flash.
    EXPECT_LT(sent().size(), 40u);
    EXPECT_EQ(checksum_after_run(), -1);

    reset_records();
    connect(part("PIC12F675"));
    chip().poke(0x0000, 0x25E6);
    chip().poke(0x03FE, 0x25E6);
    chip().poke(0x03FF, 0x3480);
    chip().poke(0x8007, 0x31FF);
    output_of([&] { save_target(path("saved.hex").c_str()); });
    settle();
    EXPECT_EQ(device_checksum_after_run(false), 0x89CE);
    EXPECT_TRUE(sent().empty());
}

}  // namespace opstest
