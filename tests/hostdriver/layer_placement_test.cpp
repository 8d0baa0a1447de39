#include <gtest/gtest.h>

#include "probe_reference.h"

namespace {

TEST(LayerPlacement, SmallerLayersAreCentredOnTheOutput) {
    const Image input = patternImage(200, 100, SampleDepth::bits8, 1);
    const Image first = patternImage(100, 50, SampleDepth::bits8, 2);
    const Image second = patternImage(101, 50, SampleDepth::bits8, 3);
    for (const bool classic : {true, false}) {
        SCOPED_TRACE(classic ? "classic" : "smart");
        RenderJob job = probeJob(input, SampleDepth::bits8);
        job.frame.classic = classic;
        job.layers = {{"first layer", LayerSource::fromImage(first, "first")},
                      {"second layer", LayerSource::fromImage(second, "second")}};
        const RenderOutcome outcome = runRenderJob(job);
        ASSERT_EQ(outcome.frame.status, PF_Err_NONE);
        EXPECT_TRUE(outcome.faults.empty()) << outcome.faults.front();
        EXPECT_EQ(compareWithProbe(outcome.frame.output, input, {&first, &second}, {}, 1), 0);
    }
}

}  // namespace
