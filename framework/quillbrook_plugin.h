#pragma once

#include <cstdint>
#include <string>

#include "framework/rectangle.h"

// Identity of an effect and the per-layer hooks an effect may override.
class QuillbrookPlugin {
public:
    QuillbrookPlugin(std::string name, std::string category, std::string description,
                     int32_t version_major, int32_t version_minor, int32_t version_revision)
        : name(std::move(name)), category(std::move(category)), version_major(version_major),
          version_minor(version_minor), version_revision(version_revision),
          description(std::move(description)) {}
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
