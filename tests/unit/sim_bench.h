// Drives the emulated programmer with raw frames on a test clock.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "sim/sim.h"

struct SimBench {
    sim::Programmer p;
    double t = 0;

    explicit SimBench(const sim::Config& c = sim::Config()) : p(c) {}
    static sim::Config part(const char* name) {
        sim::Config c;
        c.part = name;
        return c;
    }

    void raw(std::vector<uint8_t> bytes) { p.receive(bytes.data(), bytes.size(), t); }
    // A frame with its check byte.
    void frame(std::initializer_list<int> bytes) {
        std::vector<uint8_t> f;
        unsigned sum = 0;
        for (int b : bytes) {
            f.push_back(static_cast<uint8_t>(b));
            sum += static_cast<unsigned>(b);
        }
        f.push_back(static_cast<uint8_t>((256 - sum % 256) % 256));
        raw(f);
    }
    // Every reply byte available now.
    std::vector<uint8_t> take() {
        std::vector<uint8_t> out;
        for (int b; (b = p.read_byte(t)) >= 0;) out.push_back(static_cast<uint8_t>(b));
        return out;
    }
    void word_frame(int code, int value) { frame({code, value & 0xFF, (value >> 8) & 0xFF}); }

    void vpp_on() { frame({0xC3}); }
    void vpp_off() { frame({0xC2}); }
    void repeat(int n) { frame({0xD5, n}); }
    void inc(int n = 1) {
        if (n > 1) repeat(n);
        frame({0x06});
    }
    void reset() { frame({0x16}); }
    void config_space() { word_frame(0x80, 0); }
    void load(int word) { word_frame(0x82, word); }
    void load_data(int byte) { frame({0x83, byte, 0}); }
    void delay(int us) { word_frame(0xE6, us); }
    void begin(int us) {
        frame({0x08});
        if (us > 0) delay(us);
    }
    // n words from the counter: the reply's words, with `sum_ok` telling
    // whether the checksum byte brings the reply to 0 modulo 256.
    std::vector<uint16_t> read(int n, bool data = false, bool* sum_ok = nullptr) {
        take();
        if (n > 1) repeat(n);
        frame({data ? 0x45 : 0x44});
        std::vector<uint8_t> r = take();
        std::vector<uint16_t> words;
        unsigned sum = 0;
        for (uint8_t b : r) sum += b;
        for (size_t i = 0; i + 1 < r.size(); i += 2) words.push_back(static_cast<uint16_t>(r[i] | r[i + 1] << 8));
        if (sum_ok) *sum_ok = r.size() == static_cast<size_t>(2 * n + 1) && sum % 256 == 0;
        return words;
    }
    uint16_t read1(bool data = false) { return read(1, data).at(0); }
};
