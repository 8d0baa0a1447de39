#pragma once

#include <OpenImageIO/paramlist.h>

#include <filesystem>
#include <string>

#include "qbrender/channel_choice.h"
#include "qbrender/image.h"

// Reading and writing image files. Every failure throws QbrenderError (exit status 1) with one
// line that names the file: "cannot read 'in.png': no such file".

enum class ImageFormat { exr, png, tiff, jpeg };

// The output format named by the extension of `file` (.exr, .png, .tif, .tiff, .jpg, .jpeg, any
// case). A missing or unknown extension throws "cannot write '<file>': ...", naming the
// extension. (Reading goes by the file's contents, not its name.)
ImageFormat formatFromExtension(const std::filesystem::path& file);

// What readImage took from a file, for the verbose output and for the output file.
struct ImageFileInfo {
    // "colour ViewLayer.Combined.R,G,B, alpha ViewLayer.Combined.A, depth ViewLayer.Depth.Z".
    std::string channels;
    // One line for stderr when depth-like channels were left alone; else empty.
    std::string note;
    // The colour part's attributes that describe the picture (camera, frame, custom ones), not
    // its storage (compression, channel layout).
    OIIO::ParamValueList metadata;
};

// Reads EXR (half or float; single-part, multi-part and multi-layer), PNG and TIFF (8 or 16 bit;
// other integer TIFFs and float TIFFs read as float) and JPEG. Colour, alpha and the depth plane
// are chosen by channel name (see channel_choice.h); the depth plane may come from another part
// with the same data window. The result keeps the depth and samples of the colour channels: see
// Image. The colour part is read at its data window.
Image readImage(const std::filesystem::path& file, const ChannelRequest& request = {},
                ImageFileInfo* info = nullptr);

struct WriteOptions {
    // EXR colour and alpha as half floats (the depth plane stays float).
    bool half_float = false;
    // Attributes written into an EXR output (other formats ignore them), e.g. the input's
    // ImageFileInfo::metadata.
    const OIIO::ParamValueList* metadata = nullptr;
    // One gray channel taken from red (plus alpha, when any pixel is not fully opaque).
    bool gray = false;
    int jpeg_quality = 95;
    // Fault injection for tests of the failure paths: write the temporary file completely, then
    // fail as a full disk would, before the rename.
    bool fail_before_rename = false;
};

// Writes `image` in the format of the extension: EXR as float (or half) RGBA plus Z when the
// image has a depth plane, ZIP-compressed; TIFF at the image's depth (float stays float); PNG at
// 16 bits for 16-bit and float images, 8 bits for 8-bit ones; JPEG at 8 bits without alpha.
// Float samples written to integer files are clamped to 0..1 (NaN gives 0): see
// precisionLossNote. The file is written under a temporary name in the same folder and renamed when
// complete, so a failure never leaves a partial file or replaces an existing one.
void writeImage(const Image& image, const std::filesystem::path& file,
                const WriteOptions& options = {});

// A one-line note when writing an image of `depth` to `file` loses precision (float to PNG or
// JPEG, 16 bits to JPEG): "'out.png' holds 16-bit integers: float values are clipped to 0..1";
// empty when nothing is lost.
std::string precisionLossNote(SampleDepth depth, const std::filesystem::path& file);

// The checks writeImage makes before it writes, for a caller that wants them before a long
// render: a known extension, an existing folder, and a name that is not a folder.
void checkOutputPath(const std::filesystem::path& file);
