#include "zblur/input_depth_channel.h"

#include <cstdint>

InputDepthChannel::InputDepthChannel(const PF_InData* in_data, const PF_ChannelSuite1* suite,
                                     PF_ParamIndex position)
    : in_data_(in_data), suite_(suite) {
    if (in_data_ == nullptr || suite_ == nullptr ||
        suite_->PF_GetLayerChannelTypedRefAndDesc == nullptr) {
        return;
    }
    PF_Boolean found = 0;
    const PF_Err error = suite_->PF_GetLayerChannelTypedRefAndDesc(
        in_data_->effect_ref, position, PF_ChannelType_DEPTH, &found, &ref_, &desc_);
    accepted_ = error == PF_Err_NONE && found != 0 && desc_.channel_type == PF_ChannelType_DEPTH &&
                (desc_.data_type == PF_DataType_FLOAT || desc_.data_type == PF_DataType_DOUBLE);
}

InputDepthChannel::~InputDepthChannel() {
    if (checked_out_ && suite_->PF_CheckinLayerChannel != nullptr) {
        suite_->PF_CheckinLayerChannel(in_data_->effect_ref, &ref_, &chunk_);
    }
}

PF_Err InputDepthChannel::checkOut() {
    if (!accepted_ || checked_out_) return PF_Err_NONE;
    if (suite_->PF_CheckoutLayerChannel == nullptr) return PF_Err_INVALID_CALLBACK;
    const PF_Err error = suite_->PF_CheckoutLayerChannel(
        in_data_->effect_ref, &ref_, in_data_->current_time, in_data_->time_step,
        in_data_->time_scale, desc_.data_type, &chunk_);
    if (error != PF_Err_NONE) return error;
    checked_out_ = true;
    // A chunk that does not hold what was asked for is not read: one value per pixel of the
    // accepted type, rows at least as long as their values.
    const A_long value_bytes = isDouble() ? 8 : 4;
    readable_ = chunk_.dataPV != nullptr && chunk_.widthL > 0 && chunk_.heightL > 0 &&
                (chunk_.dimensionL == 0 || chunk_.dimensionL == 1) &&
                (chunk_.data_type == 0 || chunk_.data_type == desc_.data_type) &&
                chunk_.row_bytesL >= chunk_.widthL * value_bytes &&
                chunk_.row_bytesL % value_bytes == 0 &&
                reinterpret_cast<uintptr_t>(chunk_.dataPV) % uintptr_t(value_bytes) == 0;
    return PF_Err_NONE;
}
