#pragma once

#include <memory>
#include <optional>
#include <string>

#include "qbrender/host_world.h"
#include "qbrender/image.h"
#include "qbrender/image_file.h"

// The pixels behind a layer: one image for every frame, or a file (one for every frame) or a
// file name pattern in which the last run of '#' is the frame number ("plate_####.exr"), read
// with the channels of `request`. Frames are read on first use; the
// last frame read and the last host plane made from it are kept, so that the many checkouts of
// one render cost no file reads or conversions.
class LayerSource {
public:
    // `label` names the image in messages ("the sample scene").
    LayerSource(Image image, std::string label);
    // Reads nothing yet: the first frame() call does.
    static std::shared_ptr<LayerSource> fromFile(const std::string& pattern,
                                                 const ChannelRequest& request = {});
    static std::shared_ptr<LayerSource> fromImage(Image image, const std::string& label);

    const std::string& label() const { return label_; }
    // Throws QbrenderError naming the file when it cannot be read.
    const Image& frame(int n);
    // What was read for frame n (reading it first); empty for a fixed image.
    const ImageFileInfo& frameInfo(int n);
    const HostPlane& plane(int frame_number, SampleDepth depth, int downsample);

private:
    LayerSource() = default;

    std::string label_;
    std::string pattern_;  // empty for a fixed image
    ChannelRequest request_;
    std::optional<int> image_frame_;
    Image image_;
    ImageFileInfo info_;
    struct PlaneKey {
        int frame;
        SampleDepth depth;
        int downsample;
        bool operator==(const PlaneKey&) const = default;
    };
    std::optional<PlaneKey> plane_key_;
    HostPlane plane_;
};
