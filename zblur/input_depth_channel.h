#pragma once

#include "AE_ChannelSuites.h"
#include "AE_Effect.h"

// A layer's depth channel, reached through the host's channel suite: looked up on the layer
// parameter at `position` (0, the input, unless told otherwise), accepted when the host describes it as a depth channel ('DPTH') of one
// float ('FLT4') or double ('DBL8') value per pixel, checked out at the command's current time
// and checked in again when the object ends. A host without the suite simply has no depth
// channel. Host thread only; the suite must outlive the object.
class InputDepthChannel {
public:
    // Looks the channel up; `suite` may be null.
    InputDepthChannel(const PF_InData* in_data, const PF_ChannelSuite1* suite,
                      PF_ParamIndex position = 0);
    ~InputDepthChannel();
    InputDepthChannel(const InputDepthChannel&) = delete;
    InputDepthChannel& operator=(const InputDepthChannel&) = delete;

    bool accepted() const { return accepted_; }
    // Checks the accepted channel out; the host's result. Without an accepted channel nothing
    // is checked out and the result is PF_Err_NONE.
    PF_Err checkOut();
    bool checkedOut() const { return checked_out_; }
    // Checked out and holding one value per pixel of the accepted type, aligned for it, in
    // rows of at least that many bytes; a chunk that is not is treated as holding no pixels.
    bool readable() const { return readable_; }
    // Valid while checked out. The values are 4-byte floats or 8-byte doubles (isDouble()).
    const PF_ChannelChunk& chunk() const { return chunk_; }
    bool isDouble() const { return desc_.data_type == PF_DataType_DOUBLE; }

private:
    const PF_InData* in_data_;
    const PF_ChannelSuite1* suite_;
    PF_ChannelRef ref_{};
    PF_ChannelDesc desc_{};
    PF_ChannelChunk chunk_{};
    bool accepted_ = false;
    bool checked_out_ = false;
    bool readable_ = false;
};
