#include "aehost/parameter_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "tests/support/ae_test_host.h"

// The kit's parameter table: the clamped, NaN-safe reads against values worked out by hand, and
// the setup loop on a table of three rows.

namespace {

using namespace parameter_row;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr ParameterSpec kRows[] = {
    // A default that single precision does not hold exactly: a NaN reads as the float.
    floatSlider(1, 11, "amount", 0, -1.5, 2.0, 0.0, 1.0, 0.3),
    integerSlider(2, 12, "count", 0, 3, 10, 3, 6, 4),
    popup(3, 13, "mode", 0, "a|b|c|d", 4, 2),
};
static_assert(positionsInOrder(kRows));

struct ReadCase {
    double value;
    double expected;
};

TEST(ParameterReads, FloatSliderWithinItsRangeNaNGivesTheDefault) {
    const ReadCase cases[] = {{0.25, 0.25},     {-1.5, -1.5},         {2.0, 2.0},
                              {-1.75, -1.5},    {1e30, 2.0},          {-kInfinity, -1.5},
                              {kInfinity, 2.0}, {kNaN, double(0.3f)}, {-kNaN, double(0.3f)}};
    PF_ParamDef def = parameterDef(kRows[0]);
    for (const ReadCase& c : cases) {
        def.u.fs_d.value = c.value;
        EXPECT_EQ(readSlider(def, kRows[0]), c.expected) << c.value;
    }
}

TEST(ParameterReads, IntegerSliderAndPopupWithinTheirRanges) {
    const struct {
        PF_ParamValue value;
        int32_t slider;  // valid 3 .. 10
        int32_t popup;   // choices 1 .. 4
    } cases[] = {{4, 4, 4}, {3, 3, 3},   {1, 3, 1},   {0, 3, 1},         {-7, 3, 1},
                 {5, 5, 4}, {10, 10, 4}, {11, 10, 4}, {INT32_MIN, 3, 1}, {INT32_MAX, 10, 4}};
    PF_ParamDef slider = parameterDef(kRows[1]);
    PF_ParamDef popup = parameterDef(kRows[2]);
    for (const auto& c : cases) {
        slider.u.sd.value = c.value;
        popup.u.pd.value = c.value;
        EXPECT_EQ(readIntegerSlider(slider, kRows[1]), c.slider) << c.value;
        EXPECT_EQ(readPopup(popup, kRows[2]), c.popup) << c.value;
    }
}

TEST(ParameterReads, ByPositionThroughTheTable) {
    std::vector<PF_ParamDef> records(4);
    for (const ParameterSpec& row : kRows) records[size_t(row.position)] = parameterDef(row);
    const std::vector<const PF_ParamDef*> by_position = {nullptr, &records[1], &records[2],
                                                         &records[3]};
    const ParameterReader values(by_position, kRows);
    // A new instance reads its defaults.
    EXPECT_EQ(values.slider(1), double(0.3f));
    EXPECT_EQ(values.integer(2), 4);
    EXPECT_EQ(values.choice(3), 2);
    records[1].u.fs_d.value = kNaN;
    records[2].u.sd.value = 99;
    records[3].u.pd.value = 0;
    EXPECT_EQ(values.slider(1), double(0.3f));
    EXPECT_EQ(values.integer(2), 10);
    EXPECT_EQ(values.choice(3), 1);
}

// Every row is added in order through the host's string copy, the count includes the input
// layer; a refusal ends the setup with the host's error and leaves the count alone.
TEST(AddParameters, RegistersTheTableInOrderAndStopsAtARefusal) {
    AETestHost host;
    host.out_data.num_params = -1;
    ASSERT_EQ(addParameters(kRows, &host.in_data, &host.out_data), PF_Err_NONE);
    EXPECT_EQ(host.out_data.num_params, 4);
    EXPECT_EQ(host.string_copies.load(), 3);
    ASSERT_EQ(host.added.size(), 3u);
    for (size_t i = 0; i < host.added.size(); ++i) {
        EXPECT_EQ(host.added[i].uu.id, kRows[i].id);
        EXPECT_EQ(host.added[i].param_type, kRows[i].kind);
        EXPECT_STREQ(host.added[i].name, kRows[i].name);
    }
    EXPECT_EQ(host.added[0].u.fs_d.dephault, 0.3f);
    EXPECT_EQ(host.added[1].u.sd.valid_max, 10);
    EXPECT_EQ(host.added[2].u.pd.num_choices, 4);

    static int calls = 0;
    calls = 0;
    host.in_data.inter.add_param = [](PF_ProgPtr, PF_ParamIndex, PF_ParamDefPtr) -> PF_Err {
        return ++calls == 2 ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE;
    };
    host.out_data.num_params = -1;
    EXPECT_EQ(addParameters(kRows, &host.in_data, &host.out_data), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(host.out_data.num_params, -1);
}

}  // namespace
