#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The plug-in resource (property list) that tells the host, before any code runs, what a
// library holds: kind, menu name, category, entry point, versions, global flags, match name.
// Built at compile time and placed by the entry source in the module's ".pipl" section.
//
// Layout, all integers little-endian: version (16 bits) = 1, reserved (32) = 0, property count
// (32) = 12; then twelve properties of vendor code, key, id (32) = 0, length (32) and value.
// Each value is zero-padded to a multiple of 4 bytes and the length counts that padding,
// except for "eINF", whose length is 2 with two padding bytes after it. Four-character codes
// are 32-bit integers, so '8BIM' is stored as the bytes "MIB8".
struct PluginResourceContents {
    std::string_view name;         // effect menu name, at most 255 characters
    std::string_view category;     // effect menu category
    std::string_view entry_point;  // exported entry function
    std::string_view match_name;   // name under which projects store the effect; never change
    uint32_t version;              // PF_VERSION word, as written at global setup
    uint32_t out_flags;            // global out flags, as written at global setup
    uint32_t out_flags2;
};

namespace plugin_resource_detail {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kPropertyHeaderBytes = 16;
constexpr uint32_t kPropertyCount = 12;

constexpr size_t padded(size_t n) { return (n + 3) / 4 * 4; }

// One length byte, then the characters.
constexpr size_t pascalStringBytes(std::string_view s) { return padded(1 + s.size()); }
// A length-prefixed string and a terminating zero byte.
constexpr size_t categoryBytes(std::string_view s) { return padded(1 + s.size() + 1); }
constexpr size_t cStringBytes(std::string_view s) { return padded(s.size() + 1); }

constexpr uint32_t fourCC(const char (&code)[5]) {
    return uint32_t(uint8_t(code[0])) << 24 | uint32_t(uint8_t(code[1])) << 16 |
           uint32_t(uint8_t(code[2])) << 8 | uint32_t(uint8_t(code[3]));
}

template <size_t N>
class Writer {
public:
    constexpr void u8(uint8_t v) { bytes[at++] = v; }
    constexpr void u16(uint16_t v) {
        u8(uint8_t(v));
        u8(uint8_t(v >> 8));
    }
    constexpr void u32(uint32_t v) {
        u16(uint16_t(v));
        u16(uint16_t(v >> 16));
    }
    constexpr void text(std::string_view s) {
        for (char c : s) u8(uint8_t(c));
    }
    constexpr void padTo(size_t end) {
        while (at < end) u8(0);
    }
    // Property header; the value follows, to be padded to `value_start + padded(length)`.
    constexpr size_t property(const char (&key)[5], uint32_t length) {
        u32(fourCC("8BIM"));
        u32(fourCC(key));
        u32(0);
        u32(length);
        return at;
    }

    std::array<uint8_t, N> bytes{};
    size_t at = 0;
};

}  // namespace plugin_resource_detail

// Size in bytes of the resource for `contents`.
constexpr size_t pluginResourceSize(const PluginResourceContents& contents) {
    using namespace plugin_resource_detail;
    return kHeaderBytes + kPropertyCount * kPropertyHeaderBytes + 4 /* kind */ +
           pascalStringBytes(contents.name) + categoryBytes(contents.category) +
           cStringBytes(contents.entry_point) + 4 /* ePVR */ + 4 /* eSVR */ + 4 /* eVER */ +
           4 /* eINF and its padding */ + 4 /* eGLO */ + 4 /* eGL2 */ +
           pascalStringBytes(contents.match_name) + 4 /* aeFL */;
}

// The resource bytes; N must be pluginResourceSize(contents). Strings longer than a length byte
// can count stop the compilation.
template <size_t N>
constexpr std::array<uint8_t, N> buildPluginResource(const PluginResourceContents& contents) {
    using namespace plugin_resource_detail;
    if (N != pluginResourceSize(contents)) throw "plug-in resource: wrong size";
    if (contents.name.size() > 255 || contents.category.size() > 255 ||
        contents.match_name.size() > 255) {
        throw "plug-in resource: string longer than 255 characters";
    }

    Writer<N> w;
    w.u16(1);
    w.u32(0);
    w.u32(kPropertyCount);

    auto pascal = [&w](const char(&key)[5], std::string_view s, size_t bytes) {
        const size_t start = w.property(key, uint32_t(bytes));
        w.u8(uint8_t(s.size()));
        w.text(s);
        w.padTo(start + bytes);
    };

    w.property("kind", 4);
    w.u32(fourCC("eFKT"));
    pascal("name", contents.name, pascalStringBytes(contents.name));
    pascal("catg", contents.category, categoryBytes(contents.category));
    {
        const size_t bytes = cStringBytes(contents.entry_point);
        const size_t start = w.property("wx86", uint32_t(bytes));
        w.text(contents.entry_point);
        w.padTo(start + bytes);
    }
    // Property-list version 2.0 and effect API version 12.2, each as major then minor.
    w.property("ePVR", 4);
    w.u16(2);
    w.u16(0);
    w.property("eSVR", 4);
    w.u16(12);
    w.u16(2);
    w.property("eVER", 4);
    w.u32(contents.version);
    w.property("eINF", 2);
    w.u16(0);
    w.u16(0);
    w.property("eGLO", 4);
    w.u32(contents.out_flags);
    w.property("eGL2", 4);
    w.u32(contents.out_flags2);
    pascal("eMNA", contents.match_name, pascalStringBytes(contents.match_name));
    w.property("aeFL", 4);
    w.u32(0);

    if (w.at != N) throw "plug-in resource: size mismatch";
    return w.bytes;
}
