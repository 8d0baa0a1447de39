#include "layer_source.h"

#include "image_file.h"
#include "options.h"

LayerSource::LayerSource(Image image, std::string label)
    : label_(std::move(label)), image_frame_(0), image_(std::move(image)) {}

std::shared_ptr<LayerSource> LayerSource::fromFile(const std::string& pattern) {
    std::shared_ptr<LayerSource> source(new LayerSource());
    source->label_ = "'" + pattern + "'";
    source->pattern_ = pattern;
    return source;
}

std::shared_ptr<LayerSource> LayerSource::fromImage(Image image, const std::string& label) {
    return std::make_shared<LayerSource>(std::move(image), label);
}

const Image& LayerSource::frame(int n) {
    if (pattern_.empty()) return image_;
    if (!image_frame_ || *image_frame_ != n) {
        image_frame_.reset();
        image_ = readImage(frameFileName(pattern_, n));
        image_frame_ = n;
    }
    return image_;
}

const HostPlane& LayerSource::plane(int frame_number, SampleDepth depth, int downsample) {
    const PlaneKey key{pattern_.empty() ? 0 : frame_number, depth, downsample};
    if (!plane_key_ || !(*plane_key_ == key)) {
        plane_key_.reset();
        plane_ = makeHostPlane(frame(frame_number), depth, downsample);
        plane_key_ = key;
    }
    return plane_;
}
