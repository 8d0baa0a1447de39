#include "zblur_ae_host.h"

#include <iterator>

#include "rectangle.h"

ZblurAEHost::ZblurAEHost()
    : AfterEffectsHost(kName, kCategory, kDescription, kVersionMajor, kVersionMinor,
                       kVersionRevision) {}

void ZblurAEHost::adjustLayerRequest(const std::string& layer_name, Rectangle* request,
                                     Rectangle proposed, double* pixel_aspect_out,
                                     const double* command_pixel_aspect,
                                     double layer_pixel_aspect, double downsample_x,
                                     double downsample_y, int32_t layer_width,
                                     int32_t layer_height) {
    (void)pixel_aspect_out; (void)command_pixel_aspect; (void)layer_pixel_aspect;
    (void)downsample_x; (void)downsample_y; (void)layer_width; (void)layer_height;
    if (layer_name == "lens layer" && request != nullptr) *request = proposed;
}

PF_Err ZblurAEHost::render8(const LayerImage& source, const LayerImage& output,
                            const LayerMap& layers) {
    (void)source; (void)output; (void)layers;
    return noError();
}

PF_Err ZblurAEHost::render16(const LayerImage& source, const LayerImage& output,
                             const LayerMap& layers) {
    (void)source; (void)output; (void)layers;
    return noError();
}

PF_Err ZblurAEHost::renderFloat(const LayerImage& source, const LayerImage& output,
                                const LayerMap& layers) {
    (void)source; (void)output; (void)layers;
    return noError();
}

int32_t ZblurAEHost::helperLayer(int32_t index, std::string* name) const {
    struct Helper {
        const char* name;
        int32_t position;
    };
    static constexpr Helper kHelpers[] = {
        {"zbuffer layer", 2}, {"selection layer", 27}, {"lens layer", 17}};
    if (index < 0 || index >= int32_t(std::size(kHelpers))) return -1;
    if (name != nullptr) *name = kHelpers[index].name;
    return kHelpers[index].position;
}
