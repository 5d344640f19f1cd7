// The run record's own pieces: the SHA-256 that names the HEX file, and the
// JSON string escaping that must give valid UTF-8 JSON for any bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "record/json.h"
#include "record/sha256.h"

namespace {

std::string sha256_of(const std::string& data, std::size_t piece) {
    Sha256 s;
    sha256_init(s);
    for (std::size_t i = 0; i < data.size(); i += piece) {
        std::size_t n = data.size() - i < piece ? data.size() - i : piece;
        sha256_update(s, reinterpret_cast<const unsigned char*>(data.data() + i), n);
    }
    char out[65];
    sha256_final_hex(s, out);
    return out;
}

std::string escaped(const char* text) {
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    json_string(f, text);
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    EXPECT_EQ(std::fread(s.data(), 1, s.size(), f), s.size());
    std::fclose(f);
    return s;
}

TEST(RecordSha256, KnownVectorsWhateverThePieces) {
    EXPECT_EQ(sha256_of("", 64), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_of("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the padding needs a block of its own.
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (std::size_t piece : {1u, 55u, 56u, 64u}) {
        EXPECT_EQ(sha256_of(two_blocks, piece),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    }
    const std::string million(1000000, 'a');
    for (std::size_t piece : {7u, 4096u}) {
        EXPECT_EQ(sha256_of(million, piece),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
}

TEST(RecordJson, EscapesWhatJsonDoesNotTakeAsItIs) {
    EXPECT_EQ(escaped(nullptr), "null");
    EXPECT_EQ(escaped(""), "\"\"");
    EXPECT_EQ(escaped("C:\\hex\\\"blink\".hex"), "\"C:\\\\hex\\\\\\\"blink\\\".hex\"");
    EXPECT_EQ(escaped("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
    EXPECT_EQ(escaped("\x01\x1f\x7f"), "\"\\u0001\\u001f\\u007f\"");
}

TEST(RecordJson, Utf8PassesOtherBytesBecomeTheirCodePoint) {
    // Valid UTF-8 of two, three and four bytes stays as it is.
    EXPECT_EQ(escaped("Gr\xC3\xBC\xC3\x9F" "e/\xE6\x97\xA5/\xF0\x9F\x98\x80"),
              "\"Gr\xC3\xBC\xC3\x9F" "e/\xE6\x97\xA5/\xF0\x9F\x98\x80\"");
    // A code page letter (0xE4: a-umlaut), a stray continuation byte.
    EXPECT_EQ(escaped("\xE4.hex"), "\"\\u00e4.hex\"");
    EXPECT_EQ(escaped("\x80"), "\"\\u0080\"");
    // Overlong forms, a UTF-16 surrogate and a code point above U+10FFFF are
    // not UTF-8; neither is a sequence cut short by the end of the text.
    EXPECT_EQ(escaped("\xC0\xAF"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(escaped("\xE0\x80\xAF"), "\"\\u00e0\\u0080\\u00af\"");
    EXPECT_EQ(escaped("\xED\xA0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(escaped("\xF4\x90\x80\x80"), "\"\\u00f4\\u0090\\u0080\\u0080\"");
    EXPECT_EQ(escaped("x\xE2\x82"), "\"x\\u00e2\\u0082\"");
    // The highest code point and the first three-byte ones after the surrogates pass.
    EXPECT_EQ(escaped("\xF4\x8F\xBF\xBF\xEE\x80\x80"), "\"\xF4\x8F\xBF\xBF\xEE\x80\x80\"");
}

}  // namespace
