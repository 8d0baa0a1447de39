#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/ae_test_host.h"
#include "aehost/after_effects_host.h"
#include "aehost/plugin_resource/plugin_resource.h"
#include "aehost/plugin_resource_builder.h"
#include "framework/thread_pool.h"

namespace {

using EntryPoint = PF_Err (*)(PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*);

std::string pluginPath(const std::string& name) {
    return std::string(QB_PLUGIN_DIR) + "/" + name + ".so";
}

struct PluginCase {
    const char* file;
    const char* name;
    const char* match_name;
};

const PluginCase kPlugins[] = {{"zblur", "QB Zblur", "MTQB Zblur"},
                               {"evenblur", "QB Evenblur", "MTQB Evenblur"}};

uint32_t padded(size_t n) { return uint32_t((n + 3) / 4 * 4); }

TEST(PluginResource, BothLibrariesCarryTwelveProperties) {
    for (const PluginCase& c : kPlugins) {
        SCOPED_TRACE(c.file);
        const std::vector<uint8_t> section = readPluginResourceSection(pluginPath(c.file));
        const PluginResource r = parsePluginResource(section.data(), section.size(), c.file);
        EXPECT_EQ(r.version, 1);
        EXPECT_EQ(r.reserved, 0u);
        ASSERT_EQ(r.properties.size(), 12u);
        EXPECT_EQ(r.end, section.size()) << "ends exactly at the last byte";

        const char* keys[] = {"kind", "name", "catg", "wx86", "ePVR", "eSVR",
                              "eVER", "eINF", "eGLO", "eGL2", "eMNA", "aeFL"};
        const uint32_t lengths[] = {4, padded(1 + std::strlen(c.name)),       12, 16, 4, 4, 4, 2, 4,
                                    4, padded(1 + std::strlen(c.match_name)), 4};
        for (size_t i = 0; i < 12; ++i) {
            EXPECT_EQ(fourCharText(r.properties[i].key), keys[i]) << i;
            EXPECT_EQ(fourCharText(r.properties[i].vendor), "8BIM") << i;
            EXPECT_EQ(r.properties[i].id, 0u) << i;
            EXPECT_EQ(r.properties[i].length, lengths[i]) << keys[i];
            EXPECT_EQ(r.properties[i].offset % 2, 0u) << keys[i];
        }

        EXPECT_EQ(r.kind, "eFKT");
        EXPECT_EQ(r.name, c.name);
        EXPECT_EQ(r.category, "Quillbrook");
        EXPECT_EQ(r.entry_point, "EntryPointFunc");
        EXPECT_EQ(r.pipl_version_major, 2);
        EXPECT_EQ(r.pipl_version_minor, 0);
        EXPECT_EQ(r.api_version_major, 12);
        EXPECT_EQ(r.api_version_minor, 2);
        EXPECT_EQ(r.effect_version, 0x000A3E00u);
        EXPECT_EQ(r.info_flags, 0);
        EXPECT_EQ(r.out_flags, 0x06000000u);
        EXPECT_EQ(r.out_flags2, 0x00001480u);
        EXPECT_EQ(r.match_name, c.match_name);
        EXPECT_EQ(r.reserved_info, 0u);

        // Everything after the text of a string property is zero: the category's terminator
        // and the padding.
        for (const char* key : {"name", "catg", "wx86", "eMNA"}) {
            const PluginProperty* p = r.find(key);
            ASSERT_NE(p, nullptr);
            const bool c_string = std::strcmp(key, "wx86") == 0;
            const size_t text_end = c_string ? std::strlen(r.entry_point.c_str()) : 1 + p->value[0];
            for (size_t k = text_end; k < p->value.size(); ++k) {
                EXPECT_EQ(p->value[k], 0) << key << " byte " << k;
            }
        }
        const PluginProperty* info = r.find("eINF");
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(section[info->offset + 2], 0);
        EXPECT_EQ(section[info->offset + 3], 0);
    }
}

TEST(PluginResource, StoredBytesOfHeaderAndFirstProperties) {
    const std::vector<uint8_t> s = readPluginResourceSection(pluginPath("zblur"));
    ASSERT_GE(s.size(), 54u);
    const uint8_t header[] = {1, 0, 0, 0, 0, 0, 12, 0, 0, 0};
    EXPECT_EQ(std::memcmp(s.data(), header, sizeof header), 0);
    // Four-character codes are little-endian integers: '8BIM' reads "MIB8", 'kind' "dnik".
    EXPECT_EQ(std::memcmp(s.data() + 10, "MIB8dnik\0\0\0\0\4\0\0\0TKFe", 20), 0);
    // "QB Zblur": length byte, 8 characters, 3 zero bytes; 12 bytes in all.
    const uint8_t name[] = {'M', 'I', 'B', '8', 'e', 'm', 'a', 'n', 0,   0,   0,   0, 12, 0,
                            0,   0,   8,   'Q', 'B', ' ', 'Z', 'b', 'l', 'u', 'r', 0, 0,  0};
    EXPECT_EQ(std::memcmp(s.data() + 30, name, sizeof name), 0);
}

TEST(PluginResource, BuilderAgreesWithTheReaderOnOtherStrings) {
    constexpr PluginResourceContents contents{"ABC",       "C",         "Entry", "M12345678",
                                              0x12345678u, 0x0F0F0F0Fu, 0x1u};
    constexpr auto bytes = buildPluginResource<pluginResourceSize(contents)>(contents);
    const PluginResource r = parsePluginResource(bytes.data(), bytes.size(), "built");
    EXPECT_EQ(r.end, bytes.size());
    EXPECT_EQ(r.name, "ABC");
    EXPECT_EQ(r.find("name")->length, 4u);
    EXPECT_EQ(r.category, "C");
    EXPECT_EQ(r.find("catg")->length, 4u);
    EXPECT_EQ(r.entry_point, "Entry");
    EXPECT_EQ(r.find("wx86")->length, 8u);
    EXPECT_EQ(r.match_name, "M12345678");
    EXPECT_EQ(r.find("eMNA")->length, 12u);
    EXPECT_EQ(r.effect_version, 0x12345678u);
    EXPECT_EQ(r.out_flags, 0x0F0F0F0Fu);
    EXPECT_EQ(r.out_flags2, 0x1u);
}

// The resource and global setup must tell the host the same: run global setup in the loaded
// library itself and compare.
TEST(PluginResource, MatchesWhatGlobalSetupWrites) {
    for (const PluginCase& c : kPlugins) {
        SCOPED_TRACE(c.file);
        const PluginResource r = readPluginResource(pluginPath(c.file));
        void* library = dlopen(pluginPath(c.file).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto entry = reinterpret_cast<EntryPoint>(dlsym(library, r.entry_point.c_str()));
        ASSERT_NE(entry, nullptr) << r.entry_point;
        {
            AETestHost host;
            host.setApiVersion(13, 0);
            EXPECT_EQ(entry(PF_Cmd_GLOBAL_SETUP, &host.in_data, &host.out_data, host.paramList(),
                            nullptr, nullptr),
                      PF_Err_NONE);
            EXPECT_EQ(host.out_data.my_version, r.effect_version);
            EXPECT_EQ(A_u_long(host.out_data.out_flags), r.out_flags);
            EXPECT_EQ(A_u_long(host.out_data.out_flags2), r.out_flags2);
            EXPECT_EQ(host.liveHandles(), 0);
        }
        dlclose(library);
    }
}

TEST(PluginResource, LoadedLibrariesAnswerCommands) {
    for (const PluginCase& c : kPlugins) {
        SCOPED_TRACE(c.file);
        void* library = dlopen(pluginPath(c.file).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto entry = reinterpret_cast<EntryPoint>(dlsym(library, "EntryPointFunc"));
        ASSERT_NE(entry, nullptr);
        AETestHost host;
        EXPECT_EQ(
            entry(PF_Cmd_ABOUT, &host.in_data, &host.out_data, host.paramList(), nullptr, nullptr),
            PF_Err_NONE);
        EXPECT_EQ(std::string(host.out_data.return_msg).rfind("Glimmora '", 0), 0u);
        EXPECT_NE(std::string(host.out_data.return_msg).find("  v1.4.7\r"), std::string::npos);
        EXPECT_EQ(entry(static_cast<PF_Cmd>(1000), &host.in_data, &host.out_data, host.paramList(),
                        nullptr, nullptr),
                  PF_Err_NONE);
        dlclose(library);
    }
}

// Only the depth-of-field effect asks for a controls refresh after each smart render.
TEST(PluginResource, ZblurAsksForRefreshOnSmartRender) {
    for (const PluginCase& c : kPlugins) {
        SCOPED_TRACE(c.file);
        void* library = dlopen(pluginPath(c.file).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto entry = reinterpret_cast<EntryPoint>(dlsym(library, "EntryPointFunc"));
        ASSERT_NE(entry, nullptr);
        AETestHost host;
        host.out_data.out_flags = 0;
        entry(PF_Cmd_SMART_RENDER, &host.in_data, &host.out_data, host.paramList(), nullptr,
              nullptr);
        const bool zblur = std::string(c.file) == "zblur";
        EXPECT_EQ(host.out_data.out_flags, zblur ? PF_OutFlag_REFRESH_UI : 0);
        dlclose(library);
    }
}

TEST(PluginResource, LibrariesExportOnlyTheEntryPoint) {
    for (const PluginCase& c : kPlugins) {
        SCOPED_TRACE(c.file);
        const std::string command = "nm -D --defined-only '" + pluginPath(c.file) + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::vector<std::string> symbols;
        char line[1024];
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::string text = line;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            const size_t last = text.find_last_of(' ');
            symbols.push_back(last == std::string::npos ? text : text.substr(last + 1));
        }
        EXPECT_EQ(pclose(pipe), 0);
        EXPECT_EQ(symbols, std::vector<std::string>{"EntryPointFunc"});
    }
}

// ---- reader errors -----------------------------------------------------------------------

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const PluginResourceError& e) {
        return e.what();
    }
    return "no error";
}

TEST(PluginResourceReader, FileErrorsNameTheFile) {
    EXPECT_EQ(errorOf([] { readPluginResource("/nonexistent/x.so"); }),
              "pipl: cannot open /nonexistent/x.so");

    const std::string text_file =
        (std::filesystem::temp_directory_path() / "qb_pipl_not_elf.txt").string();
    std::ofstream(text_file) << "plain text, long enough to hold an ELF header if it were one";
    EXPECT_EQ(errorOf([&] { readPluginResource(text_file); }),
              "pipl: not an ELF file: " + text_file);
    std::ofstream(text_file, std::ios::trunc).flush();
    EXPECT_EQ(errorOf([&] { readPluginResource(text_file); }),
              "pipl: not an ELF file: " + text_file);
    std::filesystem::remove(text_file);

    // A folder opens like a file on Linux; its reported size must not become an allocation.
    const std::string folder = std::filesystem::temp_directory_path().string();
    const std::string folder_error = errorOf([&] { readPluginResource(folder); });
    EXPECT_NE(folder_error, "no error");
    EXPECT_NE(folder_error.find(folder), std::string::npos) << folder_error;

    // The test program is an ELF file without a plug-in resource.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(errorOf([&] { readPluginResource(self); }), "pipl: no .pipl section in " + self);
}

TEST(PluginResourceReader, TruncatedOrOverlongResources) {
    const std::vector<uint8_t> s = readPluginResourceSection(pluginPath("zblur"));
    EXPECT_EQ(errorOf([&] { parsePluginResource(s.data(), 6, "cut"); }),
              "pipl: truncated header in cut: 6 of 10 bytes");
    EXPECT_EQ(errorOf([&] { parsePluginResource(s.data(), s.size() - 3, "cut"); }),
              "pipl: truncated property 12 ('aeFL') at offset 282 in cut: value of 4 bytes, "
              "1 left");
    EXPECT_EQ(errorOf([&] { parsePluginResource(s.data(), s.size() - 8, "cut"); }),
              "pipl: truncated property 12 header at offset 266 in cut: 12 of 16 bytes left");
    std::vector<uint8_t> longer = s;
    longer.push_back(0);
    EXPECT_EQ(errorOf([&] { parsePluginResource(longer.data(), longer.size(), "long"); }),
              "pipl: 1 bytes after the last of 12 properties in long");

    std::vector<uint8_t> bad_name = s;
    bad_name[46] = 200;  // the name's length byte
    EXPECT_EQ(errorOf([&] { parsePluginResource(bad_name.data(), bad_name.size(), "bad"); }),
              "pipl: property 2 ('name') in bad: string length 200 exceeds the value of 12 bytes");
}

}  // namespace
