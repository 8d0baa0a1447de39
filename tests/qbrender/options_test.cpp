#include "qbrender/options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "qbrender/qbrender_error.h"

namespace {

Options parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qbrender");
    std::vector<const char*> argv;
    for (const auto& a : args) {
        argv.push_back(a.c_str());
    }
    return parseOptions(int(argv.size()), argv.data());
}

// The one-line message of a rejected command line.
std::string errorOf(std::vector<std::string> args) {
    try {
        parse(std::move(args));
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::bad_input);
        const std::string message = e.what();
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        return message;
    }
    ADD_FAILURE() << "accepted";
    return {};
}

#define EXPECT_CONTAINS(text, part) \
    EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

TEST(Options, DefaultsForAPlainRender) {
    const Options o = parse({"zblur"});
    EXPECT_EQ(o.effect, "zblur");
    EXPECT_TRUE(o.input.empty());
    EXPECT_TRUE(o.output.empty());
    EXPECT_FALSE(o.bits);
    EXPECT_EQ(o.downsample, 1);
    EXPECT_FALSE(o.threads);
    EXPECT_FALSE(o.frames);
    EXPECT_FALSE(o.size);
    EXPECT_FALSE(o.classic || o.list_params || o.about || o.ui || o.timing || o.quiet || o.help ||
                 o.list || o.depth_double);
    EXPECT_EQ(o.plugin_dir, defaultPluginDir());
    EXPECT_FALSE(o.plugin_dir.empty());
}

TEST(Options, EveryOptionIsParsed) {
    const Options o = parse({"-i",
                             "in.exr",
                             "evenblur",
                             "-o",
                             "out_####.png",
                             "--layer",
                             "blend layer=bg.png",
                             "--set",
                             "radius=12.5",
                             "--set=show=iris",
                             "--click",
                             "auto range",
                             "--bits",
                             "16",
                             "--downsample",
                             "3",
                             "--classic",
                             "--threads",
                             "5",
                             "--frames",
                             "2-4",
                             "--list-params",
                             "--about",
                             "--ui",
                             "--timing",
                             "--quiet",
                             "--depth-double",
                             "--plugins",
                             "/opt/fx"});
    EXPECT_EQ(o.effect, "evenblur");
    EXPECT_EQ(o.input, "in.exr");
    EXPECT_EQ(o.output, "out_####.png");
    ASSERT_EQ(o.layers.size(), 1u);
    EXPECT_EQ(o.layers[0].name, "blend layer");
    EXPECT_EQ(o.layers[0].value, "bg.png");
    ASSERT_EQ(o.sets.size(), 2u);
    EXPECT_EQ(o.sets[0].name, "radius");
    EXPECT_EQ(o.sets[0].value, "12.5");
    EXPECT_EQ(o.sets[1].name, "show");
    EXPECT_EQ(o.sets[1].value, "iris");
    EXPECT_EQ(o.clicks, std::vector<std::string>{"auto range"});
    EXPECT_EQ(o.bits, 16);
    EXPECT_EQ(o.downsample, 3);
    EXPECT_TRUE(o.classic);
    EXPECT_EQ(o.threads, 5);
    ASSERT_TRUE(o.frames);
    EXPECT_EQ(o.frames->first, 2);
    EXPECT_EQ(o.frames->last, 4);
    EXPECT_EQ(o.frames->count(), 3);
    EXPECT_TRUE(o.list_params && o.about && o.ui && o.timing && o.quiet && o.depth_double);
    EXPECT_EQ(o.plugin_dir, "/opt/fx");
}

TEST(Options, PairsKeepTheirOrderAndNamesStayExact) {
    const Options o = parse({"zblur", "--set", "relative border brightness =50", "--set",
                             "outside color=255,0,10", "--set", "facets=6", "--click", "b",
                             "--click", "a", "--set", "focal point=x=y"});
    ASSERT_EQ(o.sets.size(), 4u);
    EXPECT_EQ(o.sets[0].name, "relative border brightness ");
    EXPECT_EQ(o.sets[1].value, "255,0,10");
    EXPECT_EQ(o.sets[2].name, "facets");
    EXPECT_EQ(o.sets[3].name, "focal point");
    EXPECT_EQ(o.sets[3].value, "x=y");  // split at the first '='
    EXPECT_EQ(o.clicks, (std::vector<std::string>{"b", "a"}));
}

TEST(Options, HelpWinsAndListsEveryOption) {
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"zblur", "--bits", "12", "-h"}).help);
    const std::string help = helpText();
    for (const char* option : {"-i, --input FILE", "-o, --output FILE", "--layer NAME=FILE",
                               "--set NAME=VALUE", "--bits 8|16|32",    "--downsample N",
                               "--classic",        "--threads N",       "--frames A-B",
                               "--list-params",    "--about",           "--ui",
                               "--click NAME",     "--timing",          "--quiet",
                               "-h, --help",       "--size WxH",        "--write-sample DIR",
                               "--list",           "--plugins DIR",     "--depth-double",
                               "exit status"}) {
        EXPECT_CONTAINS(help, option);
    }
    // One line per option: no description wraps onto a line of its own. Besides the option
    // lines there are the three usage lines, the EFFECT line, two blank lines, "options:" and
    // the two lines of exit statuses.
    size_t other_lines = 0;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        const bool option = line.rfind("  -", 0) == 0 || line.rfind("      --", 0) == 0;
        other_lines += option ? 0 : 1;
    }
    EXPECT_EQ(other_lines, 9u);
}

TEST(Options, SampleAndListNeedNoEffect) {
    const Options sample = parse({"--write-sample", "out/dir", "--size", "320x200"});
    EXPECT_EQ(sample.write_sample, "out/dir");
    ASSERT_TRUE(sample.size);
    EXPECT_EQ(sample.size->width, 320);
    EXPECT_EQ(sample.size->height, 200);
    EXPECT_TRUE(parse({"--list"}).list);
    EXPECT_EQ(parse({"zblur", "--size", "17X9"}).size->width, 17);
}

TEST(Options, BadValuesNameTheOptionAndTheValue) {
    EXPECT_CONTAINS(errorOf({"zblur", "--bits", "12"}), "'--bits': '12' is not 8, 16 or 32");
    EXPECT_CONTAINS(errorOf({"zblur", "--downsample", "0"}), "'--downsample': '0'");
    EXPECT_CONTAINS(errorOf({"zblur", "--downsample", "2x"}), "'2x' is not a whole number");
    EXPECT_CONTAINS(errorOf({"zblur", "--threads", "-1"}), "'--threads': '-1'");
    EXPECT_CONTAINS(errorOf({"zblur", "--threads", ""}), "'--threads': ''");
    EXPECT_CONTAINS(errorOf({"zblur", "--frames", "5-2"}), "ends before it starts");
    EXPECT_CONTAINS(errorOf({"zblur", "--frames", "a-b"}), "'a-b' is not a frame range");
    EXPECT_CONTAINS(errorOf({"zblur", "--frames", "-3"}), "'-3' is not a frame range");
    EXPECT_CONTAINS(errorOf({"zblur", "--size", "100"}), "'100' is not a size WxH");
    EXPECT_CONTAINS(errorOf({"zblur", "--size", "0x5"}), "not within");
    EXPECT_CONTAINS(errorOf({"zblur", "--set", "radius"}), "'radius' is not NAME=VALUE");
    EXPECT_CONTAINS(errorOf({"zblur", "--set", "=5"}), "has no parameter name");
    EXPECT_CONTAINS(errorOf({"zblur", "--set", "radius="}), "has no VALUE");
    EXPECT_CONTAINS(errorOf({"zblur", "--layer", "lens layer"}), "is not NAME=FILE");
    EXPECT_CONTAINS(errorOf({"zblur", "--click", ""}), "'--click' needs a parameter name");
    EXPECT_CONTAINS(errorOf({"zblur", "--quiet=yes"}), "'--quiet' takes no value");
}

TEST(Options, UsageMistakesAreReported) {
    EXPECT_CONTAINS(errorOf({"zblur", "--blur"}), "unknown option '--blur'");
    EXPECT_CONTAINS(errorOf({"zblur", "-x"}), "unknown option '-x'");
    EXPECT_CONTAINS(errorOf({"zblur", "--bits"}), "'--bits' needs a value: 8|16|32");
    EXPECT_CONTAINS(errorOf({"zblur", "-o"}), "'-o' needs a value: FILE");
    EXPECT_CONTAINS(errorOf({}), "no effect given");
    EXPECT_CONTAINS(errorOf({"--quiet"}), "no effect given");
    EXPECT_CONTAINS(errorOf({"zblur", "evenblur"}), "unexpected argument 'evenblur'");
    EXPECT_CONTAINS(errorOf({"zblur", "-i", "a.png", "--input", "b.png"}),
                    "'--input' is given more than once");
    EXPECT_CONTAINS(errorOf({"zblur", "--bits", "8", "--bits", "16"}), "more than once");
    EXPECT_CONTAINS(errorOf({"zblur", "--write-sample", "d"}), "give no effect ('zblur')");
    EXPECT_CONTAINS(errorOf({"zblur", "-i", "a.png", "--size", "10x10"}),
                    "cannot be used with --input 'a.png'");
    EXPECT_CONTAINS(errorOf({"zblur", "--frames", "1-3", "-o", "out.png"}),
                    "3 frames but the output 'out.png' has no ####");
    EXPECT_CONTAINS(errorOf({"zblur", "--bits", "12"}), "see qbrender --help");
}

TEST(Options, ValuesMayLookLikeOptionsAndDoubleDashEndsOptions) {
    const Options o = parse({"-o", "-odd.png", "--", "--strange-effect.so"});
    EXPECT_EQ(o.output, "-odd.png");
    EXPECT_EQ(o.effect, "--strange-effect.so");
    EXPECT_EQ(parse({"zblur", "--frames", "7"}).frames->count(), 1);
    EXPECT_EQ(parse({"zblur", "--frames", "1-3", "-o", "f##.exr"}).frames->count(), 3);
}

TEST(Options, FrameNumbersReplaceTheLastRunOfHashes) {
    EXPECT_EQ(frameFileName("out_####.png", 7), "out_0007.png");
    EXPECT_EQ(frameFileName("out_##.png", 12345), "out_12345.png");
    EXPECT_EQ(frameFileName("a#/b_###.tif", 3), "a#/b_003.tif");
    EXPECT_EQ(frameFileName("plain.png", 3), "plain.png");
    EXPECT_EQ(frameFileName("f####", -2), "f-0002");
}

}  // namespace
