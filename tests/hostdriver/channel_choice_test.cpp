#include "qbrender/channel_choice.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "qbrender/command_line.h"
#include "qbrender/image_file.h"

// Zblur through the qbrender program on EXR files in the layouts a 3D renderer writes: colour,
// alpha and depth must come from the channels a user means, by name, or the run must stop and
// list the layers. Radius 0 copies the input, so the output shows which channels were read.

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 9;
constexpr int kHeight = 6;

// A channel of a test file: its full name and its value at (x, y).
struct Channel {
    std::string name;
    std::function<float(int x, int y)> value;
};
struct Part {
    std::string name;
    std::vector<Channel> channels;
};

// Values that tell the layers apart. The colour of "Combined" has fractions half floats would
// lose; the depth of "Depth" spans exactly 2.5 .. 40, the other depth-like passes lie elsewhere.
float combined(int x, int y, int c) { return float(0.1 * (c + 1) + 0.0371 * x + 1.13 * y); }
float combinedAlpha(int x, int y) { return (x + y) % 3 == 0 ? 0.25f : 1.0f; }
float depth(int x, int y) {
    const int i = x + y * kWidth;
    return i == 0 ? 40.0f : 2.5f + float(i - 1) * 0.5f;
}

std::vector<Channel> rgba(const std::string& prefix) {
    std::vector<Channel> channels;
    for (int c = 0; c < 3; ++c) {
        channels.push_back({prefix + "RGB"[c], [c](int x, int y) { return combined(x, y, c); }});
    }
    channels.push_back({prefix + "A", combinedAlpha});
    return channels;
}

std::vector<Channel> grey(const std::string& prefix, float level) {
    std::vector<Channel> channels;
    for (const char* c : {"R", "G", "B"}) {
        channels.push_back({prefix + c, [level](int x, int) { return level + 0.01f * float(x); }});
    }
    return channels;
}

Channel constant(const std::string& name, float v) {
    return {name, [v](int, int) { return v; }};
}

// The passes of a compositing render, the "ambient occlusion" colour first, with a denoising
// depth and a mist pass that must not be taken for depth.
std::vector<Channel> manyPasses(bool with_combined) {
    std::vector<Channel> channels = grey("ViewLayer.AO.", 0.5f);
    for (const Channel& c : grey("ViewLayer.Emit.", 0.05f)) channels.push_back(c);
    channels.push_back({"ViewLayer.Denoising Depth.Z", [](int x, int) { return 100.0f + x; }});
    channels.push_back({"ViewLayer.Mist.Z", [](int x, int) { return 0.1f * float(x); }});
    for (const char* c : {"X", "Y", "Z"})
        channels.push_back(constant(std::string("ViewLayer.Normal.") + c, 0.5f));
    for (const char* c : {"X", "Y", "Z", "W"})
        channels.push_back(constant(std::string("ViewLayer.Vector.") + c, 7.0f));
    if (with_combined) {
        for (const Channel& c : rgba("ViewLayer.Combined.")) channels.push_back(c);
        channels.push_back({"ViewLayer.Depth.Z", depth});
    }
    return channels;
}

// Writes the parts as one EXR file (multi-part when there are several), float samples,
// channels in the order given (the library may sort them in the file; names are what count).
void writeExr(const fs::path& file, const std::vector<Part>& parts) {
    std::vector<OIIO::ImageSpec> specs;
    for (const Part& part : parts) {
        OIIO::ImageSpec spec(kWidth, kHeight, int(part.channels.size()), OIIO::TypeDesc::FLOAT);
        spec.channelnames.clear();
        for (const Channel& c : part.channels) spec.channelnames.push_back(c.name);
        spec.alpha_channel = -1;
        spec.z_channel = -1;
        if (!part.name.empty()) spec.attribute("oiio:subimagename", part.name);
        spec.attribute("Camera", "CameraLeft");
        spec.attribute("Frame", 12);
        spec.attribute("studio:shot", "sq010_sh020");
        specs.push_back(spec);
    }
    auto out = OIIO::ImageOutput::create("openexr");
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->open(file.string(), int(specs.size()), specs.data())) << out->geterror();
    for (size_t p = 0; p < parts.size(); ++p) {
        if (p > 0) {
            ASSERT_TRUE(out->open(file.string(), specs[p], OIIO::ImageOutput::AppendSubimage))
                << out->geterror();
        }
        const size_t n = parts[p].channels.size();
        std::vector<float> data(size_t(kWidth * kHeight) * n);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                for (size_t c = 0; c < n; ++c)
                    data[(size_t(y * kWidth + x)) * n + c] = parts[p].channels[c].value(x, y);
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, data.data())) << out->geterror();
    }
    ASSERT_TRUE(out->close()) << out->geterror();
}

class ChannelChoice : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qb_channels_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // qbrender zblur with these arguments, in process.
    int run(std::vector<std::string> args) {
        std::vector<std::string> all = {"qbrender", "zblur", "--threads", "2", "--quiet"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<const char*> argv;
        for (const auto& a : all) argv.push_back(a.c_str());
        out_.str("");
        err_.str("");
        return runCommandLine(int(argv.size()), argv.data(), out_, err_);
    }

    // The "black point" and "white point" that "auto range" reads from the depth channel.
    std::pair<double, double> autoRange(std::vector<std::string> args) {
        args.insert(args.end(), {"--click", "auto range"});
        EXPECT_EQ(run(args), 0) << err_.str();
        const auto after = [&](const std::string& name) {
            const std::string text = out_.str();
            const std::string key = "'" + name + "' ";
            const size_t at = text.find(key);
            if (at == std::string::npos) return std::nan("");
            return std::stod(text.substr(text.find("-> ", at) + 3));
        };
        return {after("black point"), after("white point")};
    }

    // Compares a render's output with Combined's colour and alpha, exactly.
    void expectCombined(const std::string& file) {
        const Image out = readImage(file);
        ASSERT_EQ(out.depth(), SampleDepth::float32);
        int differences = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                for (int c = 0; c < 3; ++c) differences += out.sample(x, y, c) != combined(x, y, c);
                differences += out.sample(x, y, 3) != combinedAlpha(x, y);
            }
        }
        EXPECT_EQ(differences, 0) << file;
    }

    fs::path dir_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(ChannelChoice, CombinedAndDepthInEveryLayout) {
    std::vector<Channel> single = rgba("");
    single.push_back({"Z", depth});
    std::vector<Channel> two_passes = rgba("ViewLayer.Combined.");
    two_passes.push_back({"ViewLayer.Depth.Z", depth});
    const struct {
        const char* name;
        std::vector<Part> parts;
        const char* used;
    } layouts[] = {
        {"single.exr", {{"", single}}, "colour R,G,B, alpha A, depth Z"},
        {"combined_depth.exr",
         {{"", two_passes}},
         "colour ViewLayer.Combined.R,ViewLayer.Combined.G,ViewLayer.Combined.B, alpha "
         "ViewLayer.Combined.A, depth ViewLayer.Depth.Z"},
        {"passes.exr",
         {{"", manyPasses(true)}},
         "colour ViewLayer.Combined.R,ViewLayer.Combined.G,ViewLayer.Combined.B, alpha "
         "ViewLayer.Combined.A, depth ViewLayer.Depth.Z"},
        {"parts.exr",
         {{"beauty", rgba("")}, {"depth", {{"Z", depth}}}},
         "colour R,G,B (part 0 'beauty'), alpha A (part 0 'beauty'), depth Z (part 1 'depth')"},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.name);
        writeExr(path(layout.name), layout.parts);
        ASSERT_EQ(run({"-i", path(layout.name), "-o", path("out.exr"), "--verbose"}), 0)
            << err_.str();
        EXPECT_EQ(out_.str(), "input '" + path(layout.name) + "': " + layout.used + "\n");
        EXPECT_EQ(err_.str(), "");
        expectCombined(path("out.exr"));
        const auto [black, white] = autoRange({"-i", path(layout.name)});
        EXPECT_EQ(black, 2.5);
        EXPECT_EQ(white, 40.0);
    }
}

// No guess: each file below leaves the choice open, so the run stops with status 1, one line
// that lists the layers, and no output; the option named in the message settles it.
TEST_F(ChannelChoice, AnOpenChoiceStopsAndListsTheLayers) {
    writeExr(path("no_combined.exr"), {{"", manyPasses(false)}});
    std::vector<Channel> two_depths = rgba("");
    two_depths.push_back({"ViewLayer.Depth.Z", depth});
    two_depths.push_back({"Other.Depth.Z", [](int, int) { return 1.0f; }});
    writeExr(path("two_depths.exr"), {{"", two_depths}});
    writeExr(path("two_parts.exr"), {{"left", grey("", 0.3f)}, {"right", rgba("")}});
    const struct {
        const char* file;
        std::vector<std::string> listed;
        std::vector<std::string> choice;
        const char* used;
    } cases[] = {
        {"no_combined.exr",
         {"more than one layer could be the colour", "ViewLayer.AO [R G B]",
          "ViewLayer.Emit [R G B]", "ViewLayer.Denoising Depth [Z]", "--channels LAYER"},
         {"--channels", "Emit", "--depth-channel", "ViewLayer.Mist.Z"},
         "colour ViewLayer.Emit.R,ViewLayer.Emit.G,ViewLayer.Emit.B, alpha none, depth "
         "ViewLayer.Mist.Z"},
        {"two_depths.exr",
         {"more than one layer could be the depth: ", "ViewLayer.Depth", "Other.Depth",
          "--depth-channel"},
         {"--depth-channel", "ViewLayer.Depth"},
         "colour R,G,B, alpha A, depth ViewLayer.Depth.Z"},
        {"two_parts.exr",
         {"(unnamed) in part 0 'left' [R G B]", "(unnamed) in part 1 'right' [R G B A]", "--part"},
         {"--part", "right"},
         "colour R,G,B (part 1 'right'), alpha A (part 1 'right'), depth none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(run({"-i", path(c.file), "-o", path("out.exr")}), 1);
        const std::string message = err_.str();
        EXPECT_EQ(message.rfind("qbrender: cannot read '" + path(c.file) + "': ", 0), 0u)
            << message;
        for (const std::string& part : c.listed)
            EXPECT_NE(message.find(part), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_FALSE(fs::exists(path("out.exr")));

        std::vector<std::string> args = {"-i", path(c.file), "-o", path("out.exr"), "--verbose"};
        args.insert(args.end(), c.choice.begin(), c.choice.end());
        ASSERT_EQ(run(args), 0) << err_.str();
        EXPECT_EQ(out_.str(), "input '" + path(c.file) + "': " + c.used + "\n");
        fs::remove(path("out.exr"));
    }
    // A mist pass alone is no depth, and the run says so.
    writeExr(path("mist.exr"), {{"",
                                 {rgba("ViewLayer.Combined.")[0],
                                  rgba("ViewLayer.Combined.")[1],
                                  rgba("ViewLayer.Combined.")[2],
                                  {"ViewLayer.Mist.Z", [](int, int) { return 0.5f; }}}}});
    ASSERT_EQ(run({"-i", path("mist.exr"), "--set", "radius=1", "-o", path("out.exr")}), 0);
    EXPECT_NE(err_.str().find("no Z channel and no Depth layer, so no depth; not taken: "
                              "ViewLayer.Mist.Z"),
              std::string::npos)
        << err_.str();
    // The same rules and choices for a --layer file.
    EXPECT_EQ(run({"--size", "9x6", "--layer", "depth layer=" + path("no_combined.exr"), "-o",
                   path("layer.png")}),
              1);
    EXPECT_NE(err_.str().find("more than one layer could be the colour"), std::string::npos);
    ASSERT_EQ(run({"--size", "9x6", "--layer", "depth layer=" + path("no_combined.exr"),
                   "--channels", "depth layer=AO", "--verbose", "-o", path("layer.png")}),
              0)
        << err_.str();
    EXPECT_NE(out_.str().find("layer 'depth layer' '" + path("no_combined.exr") +
                              "': colour ViewLayer.AO.R"),
              std::string::npos)
        << out_.str();
    ASSERT_EQ(run({"--size", "9x6", "--layer", "depth layer=" + path("no_combined.exr"),
                   "--channels", "depth layer=Mist", "--verbose", "-o", path("layer.png")}),
              0)
        << err_.str();
    EXPECT_NE(out_.str().find("': gray ViewLayer.Mist.Z, alpha none, depth none"),
              std::string::npos)
        << out_.str();
    EXPECT_EQ(run({"--size", "9x6", "--channels", "selection=AO", "-o", path("layer.png")}), 1);
    EXPECT_NE(err_.str().find("no --layer 'selection'"), std::string::npos) << err_.str();
}

// Nothing is lost without a word: the classic path refuses float, float to PNG says that it
// clips, TIFF keeps float, and EXR output keeps the input's metadata, ZIP-compressed.
TEST_F(ChannelChoice, NoSilentLossOfPrecisionOrMetadata) {
    std::vector<Channel> single = rgba("");
    single.push_back({"Z", depth});
    writeExr(path("in.exr"), {{"", single}});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-i", path("in.exr"), "--classic"},
          std::vector<std::string>{"--size", "9x6", "--classic", "--bits", "32"}}) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-o", path("classic.png")});
        EXPECT_EQ(run(all), 1);
        EXPECT_NE(err_.str().find("the classic render path has no 32-bit float worlds"),
                  std::string::npos)
            << err_.str();
        EXPECT_FALSE(fs::exists(path("classic.png")));
    }
    ASSERT_EQ(run({"-i", path("in.exr"), "--classic", "--bits", "16", "-o", path("classic.png")}),
              0);
    EXPECT_EQ(err_.str(), "qbrender: note: '" + path("in.exr") +
                              "' is 32-bit float, rendered at 16-bit: values outside 0..1 are "
                              "clipped\n");

    ASSERT_EQ(run({"-i", path("in.exr"), "-o", path("out.png")}), 0);
    EXPECT_EQ(err_.str(), "qbrender: note: '" + path("out.png") +
                              "' holds 16-bit integers: float values are clipped to 0..1\n");
    ASSERT_EQ(run({"-i", path("in.exr"), "-o", path("out.tif")}), 0);
    EXPECT_EQ(err_.str(), "");
    const Image tiff = readImage(path("out.tif"));
    ASSERT_EQ(tiff.depth(), SampleDepth::float32);
    EXPECT_EQ(tiff.sample(8, 5, 1), combined(8, 5, 1));  // above 1.0, kept

    ASSERT_EQ(run({"-i", path("in.exr"), "-o", path("half.exr"), "--half"}), 0) << err_.str();
    auto in = OIIO::ImageInput::open(path("half.exr"));
    ASSERT_TRUE(in);
    const OIIO::ImageSpec& spec = in->spec();
    EXPECT_EQ(spec.channelformat(0), OIIO::TypeDesc::HALF);
    EXPECT_EQ(spec.get_string_attribute("compression"), "zip");
    EXPECT_EQ(spec.get_string_attribute("Camera"), "CameraLeft");
    EXPECT_EQ(spec.get_int_attribute("Frame"), 12);
    EXPECT_EQ(spec.get_string_attribute("studio:shot"), "sq010_sh020");
    in->close();
    EXPECT_EQ(run({"-i", path("in.exr"), "-o", path("half.png"), "--half"}), 1);
    EXPECT_NE(err_.str().find("half floats are for EXR output only"), std::string::npos);
}

}  // namespace
