// Every copy, clear and fill instantiation that one of the two plug-ins uses, compiled here in
// full so that each member of each is built and warned about, whatever the tests exercise.

#include "imaging/clear_image_filter.h"
#include "imaging/copy_image_filter.h"
#include "imaging/fill_image_filter.h"
#include "imaging/hsl_range_selection_filter.h"

template class CopyImageFilter<PixelRGBA8, PixelRGBA8>;
template class CopyImageFilter<PixelRGBA16, PixelRGBA16>;
template class CopyImageFilter<PixelRGBAFloat, PixelRGBAFloat>;
template class CopyImageFilter<PixelRGBA8, PixelGray8>;
template class CopyImageFilter<PixelRGBA16, PixelGray16>;
template class CopyImageFilter<PixelRGBAFloat, PixelGrayFloat>;
template class CopyImageFilter<PixelRGBAFloat255, PixelRGBA8>;
template class CopyImageFilter<PixelRGBAFloat32768, PixelRGBA16>;

template class ClearImageFilter<PixelRGBAFloat>;
template class ClearImageFilter<PixelRGBAFloat255>;
template class ClearImageFilter<PixelRGBAFloat32768>;
template class ClearImageFilter<PixelGrayFloat>;

template class FillImageFilter<PixelRGBAFloat>;
template class FillImageFilter<PixelRGBAFloat255>;
template class FillImageFilter<PixelRGBAFloat32768>;

template class HslRangeSelectionFilter<PixelRGBA8>;
template class HslRangeSelectionFilter<PixelRGBA16>;
template class HslRangeSelectionFilter<PixelRGBAFloat>;
