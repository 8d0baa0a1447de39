#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "qbrender/command_line.h"
#include "qbrender/image.h"
#include "qbrender/image_file.h"

// Small frames of the sample scene through both effects, as a user renders them with qbrender,
// against the frames kept in the tree. They guard the look: a rewrite of a kernel that moves a
// picture by more than rounding fails here even where every unit test still passes.
//
// Tolerances are in the file's scale (8-bit 0..255, 16-bit 0..65535, float 1.0 = white) and
// allow what a change of summation order or of vector width may move: one unit at 8 bits, four
// at 16 bits (two of the host's 0..32768 units), 1e-4 of max(1, |expected|) at float. A mean
// limit of a tenth of that catches a shift of the whole frame by less than the per-sample limit.
//
// QB_UPDATE_GOLDEN=1 writes the rendered frames as the new expected ones instead of comparing
// (scripts/update-golden); do that only for a change meant to alter a picture, and say so.

namespace {

namespace fs = std::filesystem;

struct GoldenCase {
    const char* name;  // also the expected frame's file name, with `extension`
    const char* effect;
    const char* extension;
    std::vector<std::string> args;  // "@" at the start of a value stands for the sample folder
};

std::ostream& operator<<(std::ostream& os, const GoldenCase& c) { return os << c.name; }

constexpr const char* kSize = "128x72";

// Settings that give a frame with sharp and blurred parts from the Z channel of the sample.
const std::vector<std::string> kDepthFromZ = {"--click", "auto range", "--set", "invert=on",
                                              "--set",   "curve=3",    "--set", "focal point=230"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<GoldenCase>& goldenCases() {
    static const std::vector<GoldenCase> cases = {
        // Zblur: depth from the Z channel, gamma correction on (the default), a six-facet iris
        // and highlights, at 8 bits.
        {"zblur_z_highlights_8bit", "zblur", ".png",
         join(kDepthFromZ, {"-i", "@sample.exr", "--bits", "8", "--set", "radius=6", "--set",
                            "facets=6", "--set", "enable=on", "--set", "lightness start=200",
                            "--set", "highlight intensity=3"})},
        // Zblur: a depth layer, gamma off, mirrored and colour outside modes, a rounded iris.
        {"zblur_depth_layer_outside_16bit",
         "zblur",
         ".png",
         {"-i",      "@sample.png",
          "--layer", "depth layer=@sample_depth.png",
          "--bits",  "16",
          "--set",   "radius=8",
          "--set",   "focal point=255",
          "--set",   "gamma correction=off",
          "--set",   "horizontal assume=mirrored image",
          "--set",   "vertical assume=color",
          "--set",   "outside color=255,160,40",
          "--set",   "rounded facets=0.3",
          "--set",   "angle=15"}},
        // Zblur at float: Z channel, highlights, an anamorphic iris with a bright ring.
        {"zblur_z_ring_float", "zblur", ".exr",
         join(kDepthFromZ, {"-i", "@sample.exr", "--bits", "32", "--set", "radius=8", "--set",
                            "enable=on", "--set", "lightness start=200", "--set", "x-y aspect=0.3",
                            "--set", "relative border brightness =0.6"})},
        // Zblur displays: the sharp zone and the composite coverage.
        {"zblur_sharp_zone_8bit", "zblur", ".png",
         join(kDepthFromZ, {"-i", "@sample.exr", "--bits", "8", "--set", "radius=8", "--set",
                            "show=sharp zone"})},
        {"zblur_info_density_16bit", "zblur", ".png",
         join(kDepthFromZ, {"-i", "@sample.exr", "--bits", "16", "--set", "radius=8", "--set",
                            "show=info density"})},
        // Evenblur: the defaults at 8 bits.
        {"evenblur_plain_8bit",
         "evenblur",
         ".png",
         {"-i", "@sample.png", "--bits", "8", "--set", "radius=6"}},
        // Evenblur: both highlight boosts, a five-facet iris, mirrored and repeated outside.
        {"evenblur_boosts_outside_16bit",
         "evenblur",
         ".png",
         {"-i",     "@sample.png",
          "--bits", "16",
          "--set",  "radius=8",
          "--set",  "enable=on",
          "--set",  "lightness start=170",
          "--set",  "preservative highlight=4",
          "--set",  "additive highlight=3",
          "--set",  "facets=5",
          "--set",  "rounded facets=0",
          "--set",  "horizontal assume=mirrored image",
          "--set",  "vertical assume=repeated image"}},
        // Evenblur at float: a coloured lens image as the iris, and a distorted background layer.
        {"evenblur_lens_background_float",
         "evenblur",
         ".exr",
         {"-i", "@sample.exr", "--bits", "32", "--set", "radius=6", "--layer",
          "alternative iris=" QB_SOURCE_DIR "/docs/evenblur/lens_ring.png", "--set",
          "colored iris=on", "--layer", "background layer=@sample.png", "--set",
          "background distortion=40", "--set", "distortion antialias=2"}},
        // Evenblur: the iris display.
        {"evenblur_iris_16bit",
         "evenblur",
         ".png",
         {"-i", "@sample.png", "--bits", "16", "--set", "radius=8", "--set", "show=iris", "--set",
          "facets=6", "--set", "relative border brightness =0.6"}},
    };
    return cases;
}

struct Tolerance {
    double max_abs;   // per sample, scaled by max(1, |expected|) at float
    double mean_abs;  // over every sample of the frame
};

Tolerance toleranceFor(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return {1.0, 0.1};
        case SampleDepth::bits16:
            return {4.0, 0.4};
        case SampleDepth::float32:
            return {1e-4, 1e-5};
    }
    return {0.0, 0.0};
}

// Where two frames differ most, for the failure message.
struct FrameDifference {
    double worst = 0.0;  // largest difference, scaled as the tolerance is
    int x = 0, y = 0, channel = 0;
    double got = 0.0, expected = 0.0;
    double mean = 0.0;
};

FrameDifference compareFrames(const Image& got, const Image& expected) {
    FrameDifference d;
    const bool is_float = expected.depth() == SampleDepth::float32;
    double sum = 0.0;
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            for (int c = 0; c < Image::channels; ++c) {
                const double g = got.sample(x, y, c);
                const double e = expected.sample(x, y, c);
                double diff = std::isnan(g) != std::isnan(e) ? HUGE_VAL
                              : std::isnan(e)                ? 0.0
                                                             : std::fabs(g - e);
                if (is_float) diff /= std::max(1.0, std::fabs(e));
                sum += diff;
                if (diff > d.worst) d = {diff, x, y, c, g, e, 0.0};
            }
        }
    }
    d.mean = sum / double(expected.sampleCount());
    return d;
}

class GoldenFrames : public ::testing::TestWithParam<GoldenCase> {
protected:
    // The sample scene as files, written once for every case by qbrender itself.
    static void SetUpTestSuite() {
        sample_dir_ = new fs::path(fs::temp_directory_path() /
                                   ("qb_golden_sample_" + std::to_string(::getpid())));
        fs::remove_all(*sample_dir_);
        std::ostringstream out, err;
        const std::string dir = sample_dir_->string();
        const char* argv[] = {"qbrender", "--write-sample", dir.c_str(), "--size", kSize};
        ASSERT_EQ(runCommandLine(5, argv, out, err), 0) << err.str();
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(*sample_dir_, ignored);
        delete sample_dir_;
        sample_dir_ = nullptr;
    }

    static fs::path* sample_dir_;
};

fs::path* GoldenFrames::sample_dir_ = nullptr;

TEST_P(GoldenFrames, MatchesTheExpectedFrame) {
    const GoldenCase& c = GetParam();
    const fs::path rendered = *sample_dir_ / (std::string(c.name) + "_rendered" + c.extension);
    std::vector<std::string> args = {"qbrender", c.effect, "--threads", "2", "--quiet"};
    for (std::string a : c.args) {
        // "@name" and "NAME=@name" name files of the sample folder.
        const size_t at = a.find('@');
        if (at != std::string::npos && (at == 0 || a[at - 1] == '='))
            a = a.substr(0, at) + (*sample_dir_ / a.substr(at + 1)).string();
        args.push_back(a);
    }
    args.insert(args.end(), {"-o", rendered.string()});
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    ASSERT_EQ(runCommandLine(int(argv.size()), argv.data(), out, err), 0) << err.str();

    const fs::path expected_file = fs::path(QB_GOLDEN_DIR) / (std::string(c.name) + c.extension);
    const char* update = std::getenv("QB_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        fs::copy_file(rendered, expected_file, fs::copy_options::overwrite_existing);
        std::cout << "wrote " << expected_file << "\n";
        return;
    }
    ASSERT_TRUE(fs::exists(expected_file))
        << expected_file << " is missing; scripts/update-golden writes it";
    const Image got = readImage(rendered);
    const Image expected = readImage(expected_file);
    ASSERT_EQ(got.depth(), expected.depth());
    ASSERT_EQ(got.width(), expected.width());
    ASSERT_EQ(got.height(), expected.height());

    const Tolerance tolerance = toleranceFor(expected.depth());
    const FrameDifference d = compareFrames(got, expected);
    const fs::path kept = fs::temp_directory_path() / (std::string(c.name) + "_got" + c.extension);
    const bool ok = d.worst <= tolerance.max_abs && d.mean <= tolerance.mean_abs;
    if (!ok) fs::copy_file(rendered, kept, fs::copy_options::overwrite_existing);
    EXPECT_LE(d.worst, tolerance.max_abs)
        << "largest difference at (" << d.x << ", " << d.y << ") channel " << d.channel << ": got "
        << d.got << ", expected " << d.expected << "; the frame is kept as " << kept;
    EXPECT_LE(d.mean, tolerance.mean_abs) << "mean difference; the frame is kept as " << kept;
}

INSTANTIATE_TEST_SUITE_P(SampleScene, GoldenFrames, ::testing::ValuesIn(goldenCases()),
                         [](const ::testing::TestParamInfo<GoldenCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

}  // namespace
