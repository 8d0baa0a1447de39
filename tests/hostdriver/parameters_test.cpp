#include <gtest/gtest.h>

#include "tests/hostdriver/probe_reference.h"
#include "qbrender/qbrender_error.h"

// Parameters through the host: values set by registered name reach the effect's render, the
// host refuses bad names and values with one line naming them, the enabled state of controls
// follows the effect's parameter-UI updates, and a click reports what the effect changed.

namespace {

std::string errorOf(const RenderJob& job) {
    try {
        runRenderJob(job);
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::bad_input) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "no error";
    return {};
}

TEST(Parameters, ValuesOfEveryKindReachTheRender) {
    for (const SampleDepth depth :
         {SampleDepth::bits8, SampleDepth::bits16, SampleDepth::float32}) {
        SCOPED_TRACE(depthName(depth));
        const Image input = patternImage(23, 19, depth, 40);
        const Image first = patternImage(9, 9, depth, 41);
        RenderJob job = probeJob(input, depth);
        job.layers = {{"first layer", LayerSource::fromImage(first, "first")}};
        job.sets = {{"output", "layers only"}, {"layer gain", "0.5"},
                    {"add red", "10"},         {"add green", "0.25"},
                    {"blue turn", "90"},       {"tint", "128,255,64"},
                    {"marker", "3.7,4"},       {"output", " source plus layers "}};
        const RenderOutcome outcome = runRenderJob(job);
        ASSERT_EQ(outcome.frame.status, PF_Err_NONE);
        EXPECT_TRUE(outcome.faults.empty());
        ProbeSettings s;
        s.gain = 0.5;
        s.add_red = 10;
        s.add_green = 0.25;
        s.blue_turn = 0.25;
        s.tint[0] = 128 / 255.0;
        s.tint[2] = 64 / 255.0;
        s.marker_x = 3;
        s.marker_y = 4;
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, nullptr}, s, 1), 0);
    }
}

TEST(Parameters, PopupsByNumberCheckboxesByWord) {
    const Image input = patternImage(10, 6, SampleDepth::bits8, 42);
    for (const char* on : {"on", "true", "yes", "1"}) {
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.sets = {{"output", "2"}, {"invert", on}};
        const RenderOutcome outcome = runRenderJob(job);
        ProbeSettings s;
        s.output = 2;
        s.invert = true;
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {}, s, 1), 0) << on;
    }
    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.sets = {{"invert", "on"}, {"invert", "off"}};
    EXPECT_EQ(compareWithProbe(runRenderJob(job).frame.output, input, {}, {}, 1), 0);
}

TEST(Parameters, PointsAreInPixelsOfTheRendersResolution) {
    const Image input = patternImage(40, 20, SampleDepth::bits8, 43);
    for (const bool classic : {true, false}) {
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.frame.downsample = 2;
        job.frame.classic = classic;
        job.sets = {{"marker", "10,9"}};
        ProbeSettings s;
        s.marker_x = 5;
        s.marker_y = 4;
        EXPECT_EQ(compareWithProbe(runRenderJob(job).frame.output, input, {}, s, 2), 0);
    }
}

TEST(Parameters, BadNamesAndValuesAreRefusedWithOneLineNamingThem) {
    const Image input = patternImage(8, 8, SampleDepth::bits8, 44);
    const auto withSet = [&](const std::string& name, const std::string& value) {
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.sets = {{name, value}};
        return errorOf(job);
    };
    EXPECT_EQ(withSet("radius", "3"),
              "unknown parameter 'radius' of QB Layer Probe (see --list-params)");
    EXPECT_EQ(withSet("output", "iris"),
              "parameter 'output': no choice 'iris' (choices: 'source plus layers', "
              "'source only', 'layers only', 'input depth', 'descriptions')");
    EXPECT_EQ(withSet("output", "6"), "parameter 'output': choice 6 is outside 1 .. 5");
    EXPECT_EQ(withSet("output", "0"), "parameter 'output': choice 0 is outside 1 .. 5");
    EXPECT_EQ(withSet("layer gain", "4.5"),
              "parameter 'layer gain': 4.5 is outside the valid range 0 .. 4");
    EXPECT_EQ(withSet("layer gain", "-0.001"),
              "parameter 'layer gain': -0.001 is outside the valid range 0 .. 4");
    EXPECT_EQ(withSet("layer gain", "nan"), "parameter 'layer gain': 'nan' is not a number");
    EXPECT_EQ(withSet("layer gain", "inf"), "parameter 'layer gain': 'inf' is not a number");
    EXPECT_EQ(withSet("layer gain", "1x"), "parameter 'layer gain': '1x' is not a number");
    EXPECT_EQ(withSet("add red", "2.5"), "parameter 'add red': '2.5' is not a whole number");
    EXPECT_EQ(withSet("add red", "256"),
              "parameter 'add red': 256 is outside the valid range 0 .. 255");
    EXPECT_EQ(withSet("add green", "1.5"),
              "parameter 'add green': 1.5 is outside the valid range 0 .. 1");
    EXPECT_EQ(withSet("invert", "maybe"), "parameter 'invert': 'maybe' is not on or off");
    EXPECT_EQ(withSet("tint", "255,0"), "parameter 'tint': '255,0' is not a colour r,g,b (0..255)");
    EXPECT_EQ(withSet("tint", "255,0,256"),
              "parameter 'tint': '255,0,256': each of r,g,b must be a whole number from 0 to 255");
    EXPECT_EQ(withSet("marker", "3"), "parameter 'marker': '3' is not a point x,y");
    EXPECT_EQ(withSet("blue turn", "ninety"),
              "parameter 'blue turn': 'ninety' is not an angle in degrees");
    EXPECT_EQ(withSet("first layer", "x.png"),
              "parameter 'first layer' is a layer: connect an image with --layer \"first "
              "layer=FILE\"");
    EXPECT_EQ(withSet("-> Layers", "1"),
              "parameter '-> Layers' is a group start and takes no value");

    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.layers = {{"layer gain", LayerSource::fromImage(input, "x")}};
    EXPECT_EQ(errorOf(job),
              "parameter 'layer gain' is a float slider, not a layer: give it a value with --set");
    job.layers = {{"third layer", LayerSource::fromImage(input, "x")}};
    EXPECT_EQ(errorOf(job),
              "unknown parameter 'third layer' of QB Layer Probe (see --list-params)");
}

TEST(Parameters, NamesMatchWithoutTheirBlanksWhenNothingElseDoes) {
    const Image input = patternImage(8, 8, SampleDepth::bits8, 45);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.sets = {{" invert  ", "on"}};
    ProbeSettings s;
    s.invert = true;
    EXPECT_EQ(compareWithProbe(runRenderJob(job).frame.output, input, {}, s, 1), 0);
}

const ControlState& control(const std::vector<ControlState>& controls, const std::string& name) {
    for (const ControlState& c : controls) {
        if (c.name == name) return c;
    }
    throw std::runtime_error("no control " + name);
}

TEST(Parameters, ControlsFollowTheEffectsUpdates) {
    const Image input = patternImage(8, 8, SampleDepth::bits8, 46);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    RenderOutcome outcome = runRenderJob(job);
    ASSERT_EQ(outcome.controls.size(), 16u);
    for (const ControlState& c : outcome.controls) EXPECT_TRUE(c.enabled) << c.name;
    EXPECT_EQ(control(outcome.controls, "layer gain").updates, 1);
    EXPECT_EQ(control(outcome.controls, "add red").updates, 0);

    job.sets = {{"output", "source only"}, {"invert", "on"}};
    outcome = runRenderJob(job);
    for (const char* name : {"layer gain", "first layer", "second layer", "tint"}) {
        EXPECT_FALSE(control(outcome.controls, name).enabled) << name;
    }
    for (const char* name : {"output", "add red", "invert", "marker", "reset"}) {
        EXPECT_TRUE(control(outcome.controls, name).enabled) << name;
    }
    EXPECT_TRUE(outcome.faults.empty());
}

TEST(Parameters, AClickReportsTheValuesTheEffectChanged) {
    const Image input = patternImage(8, 8, SampleDepth::bits8, 47);
    RenderJob job = probeJob(input, SampleDepth::bits8);
    job.sets = {{"layer gain", "2"}, {"add red", "30"}, {"reset", "on"}};
    job.clicks = {"reset"};
    RenderOutcome outcome = runRenderJob(job);
    ASSERT_EQ(outcome.changes.size(), 3u);
    EXPECT_EQ(outcome.changes[0].name, "layer gain");
    EXPECT_EQ(outcome.changes[0].before, "2");
    EXPECT_EQ(outcome.changes[0].after, "1");
    EXPECT_EQ(outcome.changes[1].name, "add red");
    EXPECT_EQ(outcome.changes[1].after, "0");
    EXPECT_EQ(outcome.changes[2].name, "reset");
    EXPECT_EQ(outcome.changes[2].before, "on");
    EXPECT_EQ(outcome.changes[2].after, "off");
    // The changed values are the ones rendered.
    EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {}, {}, 1), 0);

    // A value already at what the effect writes is no change; a click with no answer changes
    // nothing.
    job.sets = {{"reset", "on"}};
    outcome = runRenderJob(job);
    ASSERT_EQ(outcome.changes.size(), 1u);
    EXPECT_EQ(outcome.changes[0].name, "reset");
    job.sets = {};
    job.clicks = {"invert"};
    EXPECT_TRUE(runRenderJob(job).changes.empty());
    job.clicks = {"nothing"};
    EXPECT_EQ(errorOf(job), "unknown parameter 'nothing' of QB Layer Probe (see --list-params)");
}

TEST(Parameters, TheTableListsEveryRegisteredParameter) {
    EffectSession session(resolveEffect(probePath(), ""));
    const std::string table = session.parameters().table();
    EXPECT_NE(table.find("   1    1  popup          'output'"), std::string::npos) << table;
    EXPECT_NE(table.find(
                  "'layer gain'                     1                      0 .. 4 (slider 0 .. 2)"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("'marker'                         -1,-1"), std::string::npos) << table;
    EXPECT_EQ(session.parameters().count(), 17);
    EXPECT_TRUE(session.takeFaults().empty());
}

}  // namespace
