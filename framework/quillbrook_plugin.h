#pragma once

#include <cstdint>
#include <string>

#include "framework/rectangle.h"

// Identity of an effect and the per-layer hooks an effect may override.
class QuillbrookPlugin {
public:
    QuillbrookPlugin(std::string name_in, std::string category_in, std::string description_in,
                     int32_t version_major_in, int32_t version_minor_in,
                     int32_t version_revision_in)
        : name(std::move(name_in)), category(std::move(category_in)),
          version_major(version_major_in), version_minor(version_minor_in),
          version_revision(version_revision_in), description(std::move(description_in)) {}
    virtual ~QuillbrookPlugin() = default;

    QuillbrookPlugin(const QuillbrookPlugin&) = delete;
    QuillbrookPlugin& operator=(const QuillbrookPlugin&) = delete;

    // Frame number at which the named layer is read.
    virtual double layerFrame(const std::string& layer_name) {
        (void)layer_name;
        return 0.0;
    }

    // Called during smart pre-render; may overwrite the pixel rectangle requested from the
    // host for a layer. `pixel_aspect_out` and `command_pixel_aspect` point at the caller's
    // aspect values; `layer_pixel_aspect`, the downsample factors and the layer size (at the
    // current scale) describe the layer. The default keeps the request as it is.
    virtual void adjustLayerRequest(const std::string& layer_name, Rectangle* request,
                                    Rectangle proposed, double* pixel_aspect_out,
                                    const double* command_pixel_aspect, double layer_pixel_aspect,
                                    double downsample_x, double downsample_y, int32_t layer_width,
                                    int32_t layer_height) {
        (void)layer_name;
        (void)request;
        (void)proposed;
        (void)pixel_aspect_out;
        (void)command_pixel_aspect;
        (void)layer_pixel_aspect;
        (void)downsample_x;
        (void)downsample_y;
        (void)layer_width;
        (void)layer_height;
    }

    const std::string name;
    const std::string category;
    const int32_t version_major;
    const int32_t version_minor;
    const int32_t version_revision;
    const std::string description;
};
