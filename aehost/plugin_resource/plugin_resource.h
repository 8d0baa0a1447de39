#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Reads the plug-in resource of a plug-in library without loading it: finds the ".pipl"
// section of the ELF file and decodes its property list (see aehost/plugin_resource_builder.h
// for the layout). Host-side tooling: never linked into a plug-in.

// Any failure to read or decode; the message names the file or the property and the offending
// value, e.g. "pipl: no .pipl section in zblur.so".
class PluginResourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PluginProperty {
    uint32_t vendor = 0;  // '8BIM'
    uint32_t key = 0;     // e.g. 'kind'
    uint32_t id = 0;
    uint32_t length = 0;  // bytes of the value, as stored
    size_t offset = 0;    // of the value, from the start of the resource
    std::vector<uint8_t> value;
};

struct PluginResource {
    uint16_t version = 0;
    uint32_t reserved = 0;
    std::vector<PluginProperty> properties;  // in stored order
    size_t end = 0;                          // offset just past the last property's value

    // Decoded values of the known keys (empty / 0 when absent).
    std::string kind;         // 'kind' as four characters, e.g. "eFKT"
    std::string name;         // 'name'
    std::string category;     // 'catg'
    std::string entry_point;  // 'wx86'
    uint16_t pipl_version_major = 0, pipl_version_minor = 0;  // 'ePVR'
    uint16_t api_version_major = 0, api_version_minor = 0;    // 'eSVR'
    uint32_t effect_version = 0;                              // 'eVER'
    uint16_t info_flags = 0;                                  // 'eINF'
    uint32_t out_flags = 0;                                   // 'eGLO'
    uint32_t out_flags2 = 0;                                  // 'eGL2'
    std::string match_name;                                   // 'eMNA'
    uint32_t reserved_info = 0;                               // 'aeFL'

    // The first property with this four-character key, or null.
    const PluginProperty* find(std::string_view key) const;
};

// "kind" -> 0x6B696E64, the value stored (little-endian) for a four-character code.
uint32_t fourCharCode(const char (&code)[5]);
std::string fourCharText(uint32_t code);

// Decodes a resource held in memory; `source` names it in error messages. The property list
// must end exactly at the last byte.
PluginResource parsePluginResource(const uint8_t* bytes, size_t size, const std::string& source);

// The raw bytes of the ".pipl" section of an ELF file (32 or 64 bits, either byte order).
std::vector<uint8_t> readPluginResourceSection(const std::string& path);

// readPluginResourceSection, then parsePluginResource.
PluginResource readPluginResource(const std::string& path);
