#include "qbrender/layer_source.h"

#include "qbrender/image_file.h"
#include "qbrender/options.h"

LayerSource::LayerSource(Image image, std::string label)
    : label_(std::move(label)), image_frame_(0), image_(std::move(image)) {}

std::shared_ptr<LayerSource> LayerSource::fromFile(const std::string& pattern,
                                                   const ChannelRequest& request) {
    std::shared_ptr<LayerSource> source(new LayerSource());
    source->label_ = "'" + pattern + "'";
    source->pattern_ = pattern;
    source->request_ = request;
    return source;
}

std::shared_ptr<LayerSource> LayerSource::fromImage(Image image, const std::string& label) {
    return std::make_shared<LayerSource>(std::move(image), label);
}

const Image& LayerSource::frame(int n) {
    if (pattern_.empty()) return image_;
    // A name without '#' is the same file for every frame: read once.
    const int key = pattern_.find('#') == std::string::npos ? 0 : n;
    if (!image_frame_ || *image_frame_ != key) {
        image_frame_.reset();
        image_ = readImage(frameFileName(pattern_, n), request_, &info_);
        image_frame_ = key;
    }
    return image_;
}

const ImageFileInfo& LayerSource::frameInfo(int n) {
    frame(n);
    return info_;
}

const HostPlane& LayerSource::plane(int frame_number, SampleDepth depth, int downsample) {
    const PlaneKey key{pattern_.find('#') == std::string::npos ? 0 : frame_number, depth,
                       downsample};
    if (!plane_key_ || !(*plane_key_ == key)) {
        plane_key_.reset();
        plane_ = makeHostPlane(frame(frame_number), depth, downsample);
        plane_key_ = key;
    }
    return plane_;
}
