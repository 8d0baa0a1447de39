#include "imaging/zoom_filter.h"

// Every source and destination pair that one of the two effects resamples.
template class ZoomFilter<PixelRGBA8, PixelGray8>;
template class ZoomFilter<PixelGray8, PixelGray8>;
template class ZoomFilter<PixelRGBA16, PixelGray16>;
template class ZoomFilter<PixelGray16, PixelGray16>;
template class ZoomFilter<PixelRGBAFloat, PixelGrayFloat>;
template class ZoomFilter<PixelGrayFloat, PixelGrayFloat>;
template class ZoomFilter<PixelRGBA8, PixelRGBAFloat255>;
template class ZoomFilter<PixelRGBA8, PixelRGBAFloat>;
template class ZoomFilter<PixelRGBA8, PixelGrayFloat>;
template class ZoomFilter<PixelRGBA16, PixelRGBAFloat32768>;
template class ZoomFilter<PixelRGBA16, PixelRGBAFloat>;
template class ZoomFilter<PixelRGBA16, PixelGrayFloat>;
template class ZoomFilter<PixelRGBAFloat, PixelRGBAFloat>;
