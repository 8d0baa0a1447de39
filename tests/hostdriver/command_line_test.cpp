#include "qbrender/command_line.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "qbrender/image_file.h"
#include "tests/hostdriver/probe_reference.h"

// The qbrender program's contract: exit status 0 done, 1 bad usage or input, 2 the effect
// failed, 3 cancelled; one line on stderr naming what was wrong; no output file created or
// replaced on any failure.

namespace {

namespace fs = std::filesystem;

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qb_cli_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        input_ = patternImage(24, 16, SampleDepth::bits8, 60);
        writeImage(input_, path("in.png"));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs qbrender with the probe effect (unless `with_effect` is false) and these arguments.
    int run(std::vector<std::string> args, bool with_effect = true) {
        std::vector<std::string> all = {"qbrender"};
        if (with_effect) all.insert(all.end(), {"qb_layer_probe", "--plugins", QB_TEST_PLUGIN_DIR});
        all.insert(all.end(), args.begin(), args.end());
        std::vector<const char*> argv;
        for (const auto& a : all) argv.push_back(a.c_str());
        out_.str("");
        err_.str("");
        return runCommandLine(int(argv.size()), argv.data(), out_, err_);
    }

    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

    fs::path dir_;
    Image input_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(CommandLine, RendersAnImageFile) {
    ASSERT_EQ(run({"-i", path("in.png"), "-o", path("out.png"), "--set", "add red=3"}), 0) << err();
    EXPECT_EQ(err(), "");
    ProbeSettings s;
    s.add_red = 3;
    EXPECT_EQ(compareWithProbe(readImage(path("out.png")), input_, {}, s, 1), 0);
}

TEST_F(CommandLine, DepthDownsampleClassicAndLayersFromTheCommandLine) {
    const Image input = patternImage(25, 16, SampleDepth::bits16, 63);
    const Image layer = patternImage(6, 7, SampleDepth::bits16, 61);
    writeImage(input, path("in.tif"));
    writeImage(layer, path("layer.tif"));
    ASSERT_EQ(run({"-i", path("in.tif"), "-o", path("out.tif"), "--classic", "--downsample", "2",
                   "--layer", "second layer=" + path("layer.tif"), "--threads", "2", "--quiet"}),
              0)
        << err();
    const Image out = readImage(path("out.tif"));
    EXPECT_EQ(out.depth(), SampleDepth::bits16);
    EXPECT_EQ(compareWithProbe(out, input, {nullptr, &layer}, {}, 2), 0);
    // An 8-bit file renders at the depth asked for.
    ASSERT_EQ(run({"-i", path("in.png"), "-o", path("out16.png"), "--bits", "16"}), 0) << err();
    EXPECT_EQ(readImage(path("out16.png")).depth(), SampleDepth::bits16);
}

TEST_F(CommandLine, AnImageWithoutAlphaGetsOpaqueAlpha) {
    Image opaque = patternImage(10, 7, SampleDepth::bits8, 62);
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 10; ++x) opaque.setSample(x, y, 3, 255);
    }
    writeImage(opaque, path("rgb.png"));  // opaque images are stored without alpha
    ASSERT_EQ(run({"-i", path("rgb.png"), "-o", path("out.png"), "--set", "output=source only"}), 0)
        << err();
    const Image out = readImage(path("out.png"));
    EXPECT_EQ(out.sample(4, 4, 3), 255);
    EXPECT_EQ(out.sample(4, 4, 0), opaque.sample(4, 4, 0));
}

TEST_F(CommandLine, FramesReadAndWriteNumberedFiles) {
    std::vector<Image> frames;
    for (int f = 1; f <= 3; ++f) {
        frames.push_back(patternImage(8, 5, SampleDepth::bits8, 70 + f));
        writeImage(frames.back(), path("in_000" + std::to_string(f) + ".png"));
    }
    ASSERT_EQ(
        run({"-i", path("in_####.png"), "-o", path("out_####.png"), "--frames", "1-3", "--timing"}),
        0)
        << err();
    for (int f = 1; f <= 3; ++f) {
        EXPECT_EQ(compareWithProbe(readImage(path("out_000" + std::to_string(f) + ".png")),
                                   frames[size_t(f - 1)], {}, {}, 1),
                  0);
        // The effect's time and the host's overhead, each on its own line.
        EXPECT_NE(out().find("frame " + std::to_string(f) + ": render commands "),
                  std::string::npos);
        EXPECT_NE(out().find("frame " + std::to_string(f) + ": host overhead "), std::string::npos);
    }
    EXPECT_NE(out().find("3 frames: render commands "), std::string::npos) << out();
    EXPECT_NE(out().find("3 frames: host overhead "), std::string::npos) << out();

    EXPECT_EQ(run({"-i", path("in_####.png"), "-o", path("out_####.png"), "--frames", "3-4"}), 1);
    EXPECT_EQ(err(), "qbrender: cannot read '" + path("in_0004.png") + "': no such file\n");
    EXPECT_TRUE(fs::exists(path("out_0003.png")));
}

TEST_F(CommandLine, QueriesPrintWithoutRendering) {
    ASSERT_EQ(run({"--size", "16x8", "--about", "--list-params", "--ui", "--set", "invert=on"}), 0)
        << err();
    EXPECT_NE(out().find("Layer Probe  v1.4.7\nChecks layer placement"), std::string::npos)
        << out();
    EXPECT_NE(out().find("'source frame offset'"), std::string::npos);
    EXPECT_NE(out().find("   7  disabled  colour         'tint'\n"), std::string::npos) << out();
    EXPECT_NE(out().find("   6  enabled   checkbox       'invert'\n"), std::string::npos);

    ASSERT_EQ(
        run({"--size", "16x8", "--set", "add red=9", "--set", "reset=on", "--click", "reset"}), 0)
        << err();
    EXPECT_EQ(out(), "click 'reset': 'add red' 9 -> 0\nclick 'reset': 'reset' on -> off\n");
}

TEST_F(CommandLine, ListsEffectsOfAFolder) {
    ASSERT_EQ(run({"--list", "--plugins", QB_TEST_PLUGIN_DIR}, false), 0) << err();
    EXPECT_EQ(out(), std::string("qb_layer_probe: \"QB Layer Probe\"  match name \"MTQB Layer "
                                 "Probe\"  category \"Quillbrook\"  version 1.4.7  flags "
                                 "0x06000000 0x00001480  ") +
                         QB_TEST_PLUGIN_DIR + "/qb_layer_probe.so\n" +
                         "qb_plain_probe: \"QB Plain Probe\"  match name \"MTQB Plain Probe\"  "
                         "category \"Quillbrook\"  version 1.4.7  flags 0x06000000 0x00001480  " +
                         QB_TEST_PLUGIN_DIR + "/qb_plain_probe.so\n");
    // The plug-in folder of the build holds the real effects only.
    ASSERT_EQ(run({"--list"}, false), 0) << err();
    EXPECT_EQ(out().find("Layer Probe"), std::string::npos) << out();
}

TEST_F(CommandLine, FindsEffectsByShortMatchOrMenuName) {
    for (const char* name : {"qb_layer_probe", "MTQB Layer Probe", "qb layer probe"}) {
        const char* argv[] = {"qbrender", name,  "--plugins", QB_TEST_PLUGIN_DIR,
                              "--size",   "8x8", "--about"};
        out_.str("");
        EXPECT_EQ(runCommandLine(7, argv, out_, err_), 0) << name << ": " << err();
        EXPECT_NE(out().find("Layer Probe  v1.4.7"), std::string::npos) << name;
    }
}

// Each bad input: status 1, one line naming it, and the existing output file untouched.
TEST_F(CommandLine, BadInputExitsOneAndKeepsTheOutput) {
    std::ofstream(path("out.png")) << "keep me";
    const std::string out = path("out.png");
    const std::string in = path("in.png");
    std::ofstream(path("text.png")) << "not an image";
    const struct {
        std::vector<std::string> args;
        bool with_effect;
        std::string message;
    } cases[] = {
        {{"-i", path("missing.png"), "-o", out},
         true,
         "cannot read '" + path("missing.png") + "': no such file"},
        {{"-i", path("text.png"), "-o", out}, true, "cannot read '" + path("text.png") + "'"},
        {{"nope", "--plugins", QB_TEST_PLUGIN_DIR, "-i", in, "-o", out},
         false,
         "unknown effect 'nope' (effects in '" + std::string(QB_TEST_PLUGIN_DIR) +
             "': qb_layer_probe, qb_plain_probe)"},
        {{"-i", in, "-o", out, "--set", "colour=1"},
         true,
         "unknown parameter 'colour' of QB Layer Probe (see --list-params)"},
        {{"-i", in, "-o", out, "--set", "output=blur"},
         true,
         "parameter 'output': no choice 'blur'"},
        {{"-i", in, "-o", out, "--set", "layer gain=9"},
         true,
         "parameter 'layer gain': 9 is outside the valid range 0 .. 4"},
        {{"-i", in, "-o", out, "--layer", "add red=" + in},
         true,
         "parameter 'add red' is an integer slider, not a layer"},
        {{"-i", in, "-o", path("no/such/out.png")},
         true,
         "cannot write '" + path("no/such/out.png") + "': folder '" + path("no/such") +
             "' does not exist"},
        {{"-i", in, "-o", out, "--classic", "--bits", "32"},
         true,
         "the classic render path has no 32-bit float worlds"},
        {{"-i", in, "-o", out, "--bogus"}, true, "unknown option '--bogus'"},
        {{"-i", in, "-o", path("out.bmp")}, true, "out.bmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(run(c.args, c.with_effect), 1);
        EXPECT_EQ(err().rfind("qbrender: ", 0), 0u) << err();
        EXPECT_NE(err().find(c.message), std::string::npos) << err();
        const std::string message = err();
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        std::ifstream kept(out);
        std::string text;
        std::getline(kept, text);
        EXPECT_EQ(text, "keep me");
        EXPECT_FALSE(fs::exists(path("out.bmp")));
    }
}

TEST_F(CommandLine, EffectFailuresExitTwoAndCancelThree) {
    const std::string in = path("in.png");
    const std::string out = path("out.png");
    EXPECT_EQ(run({"-i", in, "-o", out, "--fail-allocation", "1"}), 2);
    EXPECT_EQ(err(),
              "qbrender: QB Layer Probe: PF_Cmd_SMART_PRE_RENDER returned PF_Err_OUT_OF_MEMORY (4) "
              "at frame 0\n");
    EXPECT_EQ(run({"-i", in, "-o", out, "--classic", "--fail-allocation", "1"}), 2);
    EXPECT_EQ(
        err(),
        "qbrender: QB Layer Probe: PF_Cmd_RENDER returned PF_Err_OUT_OF_MEMORY (4) at frame 0\n");
    EXPECT_EQ(run({"-i", in, "-o", out, "--set", "misbehave=leak a handle"}), 2);
    EXPECT_EQ(err(),
              "qbrender: QB Layer Probe: PF_Cmd_SMART_RENDER left 1 memory handle undisposed\n");
    EXPECT_EQ(run({"-i", in, "-o", out, "--threads", "1", "--cancel-after", "3"}), 3);
    EXPECT_EQ(err(), "qbrender: cancelled at frame 0 (PF_Cmd_SMART_RENDER)\n");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir_), fs::directory_iterator()).size(),
              1u);
}

// The program itself, for the exit status the shell sees.
TEST_F(CommandLine, TheProgramExitsWithTheStatus) {
    const auto status = [&](const std::string& args) {
        const std::string command = std::string(QB_QBRENDER) + " qb_layer_probe --plugins " +
                                    QB_TEST_PLUGIN_DIR + " " + args + " 2>" + path("err.txt");
        const int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    EXPECT_EQ(status("--size 8x8 --quiet"), 0);
    EXPECT_EQ(status("--size 8x8 --set radius=1"), 1);
    EXPECT_EQ(status("--size 8x8 --fail-allocation 1"), 2);
    EXPECT_EQ(status("--size 8x8 --threads 1 --cancel-after 1"), 3);
}

}  // namespace
