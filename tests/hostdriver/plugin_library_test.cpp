#include "qbrender/plugin_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/hostdriver/probe_reference.h"
#include "qbrender/qbrender_error.h"

// Finding effects by their resource, without running their code, and loading them.

namespace {

namespace fs = std::filesystem;

std::string messageOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::bad_input);
        return e.what();
    }
    return "no error";
}

class PluginFolder : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qb_plugins_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(PluginFolder, OnlyLibrariesWithAnEffectResourceAreEffects) {
    fs::copy_file(probePath(), dir_ / "probe.so");
    std::ofstream(dir_ / "broken.so") << "\x7f"
                                         "ELF but nothing more";
    std::ofstream(dir_ / "notes.txt") << "not a library";
    // A library of the system has no resource: it is simply not a plug-in.
    for (const char* lib :
         {"/lib/x86_64-linux-gnu/libm.so.6", "/usr/lib/x86_64-linux-gnu/libm.so.6"}) {
        if (fs::exists(lib)) {
            fs::copy_file(lib, dir_ / "libm.so");
            break;
        }
    }
    std::vector<std::string> problems;
    const std::vector<EffectInfo> effects = findEffects(dir_, &problems);
    ASSERT_EQ(effects.size(), 1u);
    EXPECT_EQ(effects[0].shortName(), "probe");
    EXPECT_EQ(effects[0].resource.name, "QB Layer Probe");
    EXPECT_EQ(effects[0].resource.match_name, "MTQB Layer Probe");
    EXPECT_EQ(effects[0].resource.entry_point, "EntryPointFunc");
    EXPECT_EQ(effects[0].resource.effect_version, 0xA3E00u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("broken.so"), std::string::npos) << problems[0];
}

TEST_F(PluginFolder, UnknownEffectsAndFoldersAreNamed) {
    EXPECT_EQ(messageOf([&] { findEffects(dir_ / "missing"); }),
              "plug-in folder '" + (dir_ / "missing").string() + "' does not exist");
    EXPECT_EQ(messageOf([&] { resolveEffect("zblur", dir_); }),
              "unknown effect 'zblur' (effects in '" + dir_.string() + "': none)");
    EXPECT_EQ(messageOf([&] { resolveEffect((dir_ / "x.so").string(), dir_); }),
              "effect library '" + (dir_ / "x.so").string() + "' does not exist");
    std::ofstream(dir_ / "fake.so") << "text";
    EXPECT_NE(messageOf([&] {
                  resolveEffect((dir_ / "fake.so").string(), dir_);
              }).find("is not an effect plug-in"),
              std::string::npos);
}

TEST_F(PluginFolder, LoadingNeedsTheEntryPointTheResourceNames) {
    EffectInfo info = resolveEffect(probePath(), dir_);
    {
        PluginLibrary library(info);
        EXPECT_NE(library.entry(), nullptr);
    }
    info.resource.entry_point = "NoSuchEntry";
    EXPECT_EQ(messageOf([&] { PluginLibrary library(info); }),
              "'" + probePath() + "' has no entry point 'NoSuchEntry', which its resource names");
}

TEST_F(PluginFolder, AVersionThatDisagreesWithTheResourceStopsTheLoad) {
    EffectInfo info = resolveEffect(probePath(), dir_);
    info.resource.effect_version = 0xA3C00;
    try {
        EffectSession session(info);
        ADD_FAILURE() << "loaded";
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::effect_error);
        EXPECT_EQ(std::string(e.what()),
                  "QB Layer Probe: global setup sets version 0x000A3E00 but "
                  "the plug-in resource says 0x000A3C00");
    }
    info = resolveEffect(probePath(), dir_);
    info.resource.out_flags2 = 0x400;
    EXPECT_THROW(EffectSession session(info), QbrenderError);
}

}  // namespace
