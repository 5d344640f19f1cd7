// Intel HEX and state files for the emulated target's memory.
#include "sim/hexfile.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr int CONFIG_CELLS = 32;

template <typename F>
void each_cell(const Target& t, F f) {
    for (int a = 0; a < t.flash_size(); ++a) f(a, true);
    for (int a = CONFIG_BASE; a < CONFIG_BASE + CONFIG_CELLS; ++a) f(a, true);
    for (int a = EEPROM_BASE; a < EEPROM_BASE + t.eeprom_size(); ++a) f(a, false);
}

int hex_value(const std::string& s, size_t pos, size_t len, bool& ok) {
    int v = 0;
    for (size_t i = pos; i < pos + len; ++i) {
        if (i >= s.size()) { ok = false; return 0; }
        char c = s[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
              : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) { ok = false; return 0; }
        v = v * 16 + d;
    }
    return v;
}

void put_record(std::ostream& out, int type, int address, const std::vector<uint8_t>& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF, type);
    out << buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out << buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (256 - sum % 256) % 256);
    out << buf;
}

}  // namespace

Cells memory_snapshot(const Target& t) {
    Cells c;
    each_cell(t, [&](int a, bool) { c[a] = t.peek(a); });
    return c;
}

Cells memory_programmed(const Target& t) {
    Cells c;
    each_cell(t, [&](int a, bool word) {
        uint16_t v = t.peek(a);
        if (v != (word ? 0x3FFF : 0xFF)) c[a] = v;
    });
    return c;
}

void memory_apply(Target& t, const Cells& cells) {
    for (const auto& [a, v] : cells) t.poke(a, v);
}

std::string hex_read(const std::string& path, Cells& cells) {
    std::ifstream in(path);
    if (!in) return "cannot open " + path;
    std::map<long, uint8_t> bytes;
    long upper = 0;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        bool ok = line[0] == ':';
        int len = hex_value(line, 1, 2, ok);
        int addr = hex_value(line, 3, 4, ok);
        int type = hex_value(line, 7, 2, ok);
        unsigned sum = static_cast<unsigned>(len + (addr >> 8) + (addr & 0xFF) + type);
        std::vector<uint8_t> data;
        for (int i = 0; ok && i <= len; ++i) {
            int b = hex_value(line, 9 + 2 * static_cast<size_t>(i), 2, ok);
            sum += static_cast<unsigned>(b);
            if (i < len) data.push_back(static_cast<uint8_t>(b));
        }
        if (!ok || sum % 256 != 0) return path + ":" + std::to_string(number) + ": bad record";
        if (type == 0) {
            for (int i = 0; i < len; ++i) bytes[upper + addr + i] = data[static_cast<size_t>(i)];
        } else if (type == 1) {
            break;
        } else if (type == 2 && len == 2) {
            upper = ((data[0] << 8) | data[1]) * 16L;
        } else if (type == 4 && len == 2) {
            upper = static_cast<long>((data[0] << 8) | data[1]) << 16;
        }
    }
    for (const auto& [a, b] : bytes) {
        int word = static_cast<int>(a / 2);
        if (word > 0xFFFF) continue;
        uint16_t& cell = cells.try_emplace(word, 0).first->second;
        cell = a % 2 ? static_cast<uint16_t>((cell & 0x00FF) | (b << 8)) : static_cast<uint16_t>((cell & 0xFF00) | b);
    }
    return "";
}

std::string hex_write(const std::string& path, const Cells& cells) {
    std::ofstream out(path);
    if (!out) return "cannot write " + path;
    int upper = -1;
    auto it = cells.begin();
    while (it != cells.end()) {
        // A record: up to 8 consecutive words within one 64K byte segment.
        long start = it->first * 2L;
        if ((start >> 16) != upper) {
            upper = static_cast<int>(start >> 16);
            put_record(out, 4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
        }
        std::vector<uint8_t> data;
        int next = it->first;
        while (it != cells.end() && it->first == next && data.size() < 16 &&
               ((it->first * 2L) >> 16) == upper) {
            data.push_back(static_cast<uint8_t>(it->second & 0xFF));
            data.push_back(static_cast<uint8_t>(it->second >> 8));
            ++next;
            ++it;
        }
        put_record(out, 0, static_cast<int>(start & 0xFFFF), data);
    }
    put_record(out, 1, 0, {});
    return out ? "" : "cannot write " + path;
}

std::string state_read(const std::string& path, const std::string& part, Cells& cells) {
    std::ifstream in(path);
    if (!in) return "cannot open " + path;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("part ", 0) == 0) {
            if (line.substr(5) != part) return path + " holds a " + line.substr(5) + ", not a " + part;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        unsigned a = 0, v = 0;
        if (!(words >> std::hex >> a >> v) || a > 0xFFFF || v > 0xFFFF) return path + ": bad line: " + line;
        cells[static_cast<int>(a)] = static_cast<uint16_t>(v);
    }
    return "";
}

std::string state_write(const std::string& path, const std::string& part, const Cells& cells) {
    std::ofstream out(path);
    if (!out) return "cannot write " + path;
    out << "# emulated target memory: word address and value, hexadecimal\npart " << part << "\n";
    char buf[32];
    for (const auto& [a, v] : cells) {
        std::snprintf(buf, sizeof buf, "%04X %04X\n", a, v);
        out << buf;
    }
    return out ? "" : "cannot write " + path;
}

}  // namespace sim
