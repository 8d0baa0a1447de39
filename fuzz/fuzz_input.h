#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Takes values from a fuzzer's input bytes, front to back. Once the bytes run out every value
// is the smallest allowed, so any input, however short, describes one complete case.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - at_; }
    uint8_t byte();
    bool flag() { return (byte() & 1) != 0; }
    // A whole number in low .. high (both included; low <= high).
    int64_t integer(int64_t low, int64_t high);
    // A number in low .. high, the ends included, from 16 bits of input.
    double fraction(double low, double high);
    // A float from 32 raw bits: any value, NaN, infinities and subnormals included.
    float anyFloat();
    // Up to `most` bytes, ended early by a zero byte (which is consumed).
    std::string text(size_t most);
    // Everything that is left.
    std::string rest();

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};
