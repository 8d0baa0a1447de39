#include "bench/host_frame_scene.h"

#include <string>

#include "zblur/depth_levels.h"
#include "qbrender/sample_scene.h"
#include "zblur/zblur_settings.h"

namespace {

constexpr double kBlackPoint = 1.0;
constexpr double kWhitePoint = 80.0;
constexpr double kFocalLevel = 128.0;

}  // namespace

const Image& benchScene() {
    static const Image scene = makeSampleScene(kBenchFrameWidth, kBenchFrameHeight).color;
    return scene;
}

std::shared_ptr<LayerSource> benchSceneSource() {
    static const std::shared_ptr<LayerSource> source =
        LayerSource::fromImage(benchScene(), "the sample scene");
    return source;
}

std::vector<NamedValue> zblurBenchSets(int largest) {
    return {{"radius", std::to_string(2 * largest)},
            {"black point", std::to_string(int(kBlackPoint))},
            {"white point", std::to_string(int(kWhitePoint))},
            {"focal point", std::to_string(int(kFocalLevel))},
            {"facets", "6"}};
}

std::vector<NamedValue> evenblurBenchSets(int radius) {
    return {{"radius", std::to_string(radius)}};
}

std::vector<float> zblurBenchRadii(int largest) {
    ZblurSettings settings;
    settings.radius = 2.0 * largest;
    settings.focal = kFocalLevel;
    settings.aspect = 0.0;
    settings.scale_x = 1.0;
    settings.scale_y = 1.0;
    // "curve" 1, as a new instance has it.
    std::vector<float> curve(kDepthTableSize);
    fill_curve_table(curve.data(), 1.0);
    const LevelRadii radii = level_radii(settings, 1.0);
    const Image& scene = benchScene();
    std::vector<float> map(scene.z().size());
    for (size_t i = 0; i < map.size(); ++i) {
        const double o = normalise_depth(double(scene.z()[i]), kBlackPoint, kWhitePoint, false);
        const int32_t level = depth_level_of(double(curve[size_t(depth_table_index(o))]));
        map[i] = float(radii[size_t(level)].ex);
    }
    return map;
}
