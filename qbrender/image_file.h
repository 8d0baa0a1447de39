#pragma once

#include <filesystem>

#include "image.h"

// Reading and writing image files. Every failure throws QbrenderError (exit status 1) with one
// line that names the file: "cannot read 'in.png': no such file".

enum class ImageFormat { exr, png, tiff, jpeg };

// The output format named by the extension of `file` (.exr, .png, .tif, .tiff, .jpg, .jpeg, any
// case). A missing or unknown extension throws "cannot write '<file>': ...", naming the
// extension. (Reading goes by the file's contents, not its name.)
ImageFormat formatFromExtension(const std::filesystem::path& file);

// Reads EXR (half or float; a "Z" channel becomes the depth plane), PNG and TIFF (8 or 16 bit;
// other integer TIFFs and float TIFFs read as float) and JPEG. The result keeps the file's depth
// and samples: see Image. Only the first subimage is read, at its data window.
Image readImage(const std::filesystem::path& file);

struct WriteOptions {
    // EXR colour and alpha as half floats (the depth plane stays float).
    bool half_float = false;
    // One gray channel taken from red (plus alpha, when any pixel is not fully opaque).
    bool gray = false;
    int jpeg_quality = 95;
    // Fault injection for tests of the failure paths: write the temporary file completely, then
    // fail as a full disk would, before the rename.
    bool fail_before_rename = false;
};

// Writes `image` in the format of the extension: EXR as float (or half) RGBA plus Z when the
// image has a depth plane; PNG and TIFF at 16 bits for 16-bit and float images, 8 bits for 8-bit
// ones; JPEG at 8 bits without alpha. Float samples written to integer files are clamped to 0..1
// (NaN gives 0). The file is written under a temporary name in the same folder and renamed when
// complete, so a failure never leaves a partial file or replaces an existing one.
void writeImage(const Image& image, const std::filesystem::path& file,
                const WriteOptions& options = {});

// The checks writeImage makes before it writes, for a caller that wants them before a long
// render: a known extension, an existing folder, and a name that is not a folder.
void checkOutputPath(const std::filesystem::path& file);
