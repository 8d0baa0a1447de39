#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "AE_ChannelSuites.h"
#include "tests/support/ae_test_host.h"

// A depth channel on the test host's input layer, served through its channel suite: one float
// or double per pixel in rows with spare bytes. Counts checkouts and checkins, and can refuse
// the checkout. One at a time, like the test host.
class FakeDepthChannel {
public:
    explicit FakeDepthChannel(AETestHost& host) {
        current_ = this;
        host.channel_suite.PF_GetLayerChannelTypedRefAndDesc = &lookUp;
        host.channel_suite.PF_CheckoutLayerChannel = &checkOut;
        host.channel_suite.PF_CheckinLayerChannel = &checkIn;
    }
    ~FakeDepthChannel() { current_ = nullptr; }

    template <class T>
    void setValues(int32_t width, int32_t height, const std::vector<T>& values) {
        width_ = width;
        height_ = height;
        data_type = sizeof(T) == 8 ? PF_DataType_DOUBLE : PF_DataType_FLOAT;
        row_bytes_ = (width + 2) * int32_t(sizeof(T)) + row_skew;
        bytes_.assign(size_t(row_bytes_) * size_t(height) + 8, 0xEE);
        for (int32_t y = 0; y < height; ++y) {
            std::memcpy(bytes_.data() + size_t(y) * size_t(row_bytes_),
                        values.data() + size_t(y) * size_t(width), size_t(width) * sizeof(T));
        }
    }

    // Bytes added to every row: a skew that is not a multiple of the value size misaligns the
    // rows after the first.
    int32_t row_skew = 0;
    bool found = true;
    PF_ChannelType channel_type = PF_ChannelType_DEPTH;
    PF_DataType data_type = PF_DataType_FLOAT;
    PF_Err checkout_error = PF_Err_NONE;
    int32_t lookups = 0;
    int32_t checkouts = 0;
    int32_t checkins = 0;
    A_long checkout_time = -1;

private:
    static PF_Err lookUp(PF_ProgPtr, PF_ParamIndex index, PF_ChannelType type, PF_Boolean* found,
                         PF_ChannelRef* ref, PF_ChannelDesc* desc) {
        FakeDepthChannel& c = *current_;
        ++c.lookups;
        *found = index == 0 && type == PF_ChannelType_DEPTH && c.found ? 1 : 0;
        std::memset(ref, 0, sizeof *ref);
        ref->opaque[0] = 0x5EED;
        std::memset(desc, 0, sizeof *desc);
        desc->channel_type = c.channel_type;
        desc->data_type = c.data_type;
        desc->dimension = 1;
        return PF_Err_NONE;
    }

    static PF_Err checkOut(PF_ProgPtr, PF_ChannelRefPtr ref, A_long time, A_long, A_u_long,
                           PF_DataType type, PF_ChannelChunk* chunk) {
        FakeDepthChannel& c = *current_;
        if (ref->opaque[0] != 0x5EED) return PF_Err_BAD_CALLBACK_PARAM;
        if (c.checkout_error != PF_Err_NONE) return c.checkout_error;
        ++c.checkouts;
        c.checkout_time = time;
        std::memset(chunk, 0, sizeof *chunk);
        chunk->widthL = c.width_;
        chunk->heightL = c.height_;
        chunk->dimensionL = 1;
        chunk->row_bytesL = c.row_bytes_;
        chunk->data_type = type;
        chunk->dataPV = c.bytes_.empty() ? nullptr : c.bytes_.data();
        return PF_Err_NONE;
    }

    static PF_Err checkIn(PF_ProgPtr, PF_ChannelRefPtr, PF_ChannelChunk*) {
        ++current_->checkins;
        return PF_Err_NONE;
    }

    static inline FakeDepthChannel* current_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t row_bytes_ = 0;
    std::vector<unsigned char> bytes_;
};
