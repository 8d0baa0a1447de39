#include "fuzz/fuzz_input.h"

#include <cstring>

uint8_t FuzzInput::byte() { return at_ < size_ ? data_[at_++] : 0; }

int64_t FuzzInput::integer(int64_t low, int64_t high) {
    const uint64_t span = uint64_t(high) - uint64_t(low);
    uint64_t v = 0;
    for (uint64_t covered = 0; covered < span && remaining() > 0; covered = (covered << 8) | 0xFF) {
        v = (v << 8) | byte();
    }
    return span == UINT64_MAX ? int64_t(uint64_t(low) + v)
                              : int64_t(uint64_t(low) + v % (span + 1));
}

double FuzzInput::fraction(double low, double high) {
    const unsigned v = unsigned(byte()) << 8 | byte();
    return v == 65535 ? high : low + (high - low) * (double(v) / 65535.0);
}

float FuzzInput::anyFloat() {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits = bits << 8 | byte();
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::string FuzzInput::text(size_t most) {
    std::string s;
    while (s.size() < most && remaining() > 0) {
        const char c = char(byte());
        if (c == '\0') break;
        s += c;
    }
    return s;
}

std::string FuzzInput::rest() {
    std::string s(reinterpret_cast<const char*>(data_ + at_), remaining());
    at_ = size_;
    return s;
}
