#pragma once

#include "aehost/after_effects_host.h"
#include "imaging/pixel_types.h"

// The three per-depth render operations of an effect host, each forwarding to the effect's one
// frame render template, `Effect::renderFrame<P>`, so that an effect host writes its render once
// for every pixel depth. The effect host derives from FrameRenders<itself>, befriends it when
// renderFrame is private, and instantiates it once in its own source file, where renderFrame is
// defined (`template class FrameRenders<Effect>;`, declared `extern` in its header).
template <class Effect>
class FrameRenders : public AfterEffectsHost {
public:
    using AfterEffectsHost::AfterEffectsHost;

    PF_Err render8(const LayerImage& source, const LayerImage& output,
                   const LayerMap& layers) override;
    PF_Err render16(const LayerImage& source, const LayerImage& output,
                    const LayerMap& layers) override;
    PF_Err renderFloat(const LayerImage& source, const LayerImage& output,
                       const LayerMap& layers) override;

private:
    Effect& effect() { return static_cast<Effect&>(*this); }
};

// Defined outside the class, so not inline: the effect's `extern template` declaration then
// keeps every other file from instantiating them (and with them renderFrame, which only the
// effect's source file defines).
template <class Effect>
PF_Err FrameRenders<Effect>::render8(const LayerImage& source, const LayerImage& output,
                                     const LayerMap& layers) {
    return effect().template renderFrame<PixelRGBA8>(source, output, layers);
}

template <class Effect>
PF_Err FrameRenders<Effect>::render16(const LayerImage& source, const LayerImage& output,
                                      const LayerMap& layers) {
    return effect().template renderFrame<PixelRGBA16>(source, output, layers);
}

template <class Effect>
PF_Err FrameRenders<Effect>::renderFloat(const LayerImage& source, const LayerImage& output,
                                         const LayerMap& layers) {
    return effect().template renderFrame<PixelRGBAFloat>(source, output, layers);
}
