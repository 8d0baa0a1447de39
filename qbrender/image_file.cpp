#include "qbrender/image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "qbrender/exr_header_check.h"
#include "qbrender/host_handles.h"
#include "qbrender/png_chunk_check.h"
#include "qbrender/qbrender_error.h"

namespace fs = std::filesystem;

namespace {

const char* const kExtensionList = ".exr, .png, .tif, .tiff, .jpg or .jpeg";

QbrenderError readError(const fs::path& file, const std::string& why) {
    return QbrenderError("cannot read '" + file.string() + "': " + why);
}

QbrenderError writeError(const fs::path& file, const std::string& why) {
    return QbrenderError("cannot write '" + file.string() + "': " + why);
}

// OpenImageIO keeps error messages per thread and per object; take them so they neither leak
// into a later message nor get reported as unretrieved.
void discardErrors(const OIIO::ImageInput* in) {
    if (in) {
        in->geterror();
    }
    OIIO::geterror();
}

// The codec libraries below the image library print some failures on stderr themselves
// ("libpng error: ..."), next to the one line qbrender reports. While this lives, stderr goes to
// /dev/null. It redirects the whole process's stderr: use it only on the main thread while no
// render runs.
class SilencedStderr {
public:
    SilencedStderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            ::dup2(null, STDERR_FILENO);
        }
        if (null >= 0) {
            ::close(null);
        }
    }
    SilencedStderr(const SilencedStderr&) = delete;
    SilencedStderr& operator=(const SilencedStderr&) = delete;
    ~SilencedStderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }

private:
    int saved_ = -1;
};

// The JPEG decoder pads a truncated file with gray and reports success; a complete file has an
// end-of-image marker (FF D9) after the start of its last scan (FF DA). Entropy-coded data
// cannot contain FF D9, since every FF byte in it is followed by 00 or a restart marker.
bool jpegLooksComplete(const fs::path& file) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) {
        return false;
    }
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    std::fclose(f);
    size_t last_scan = std::string::npos;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) {
            last_scan = i;
        }
    }
    if (last_scan == std::string::npos) {
        return false;
    }
    for (size_t i = last_scan + 2; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) {
            return true;
        }
    }
    return false;
}

// Which channels of the file hold red, green, blue, alpha and depth, by part (subimage) and
// channel index.
using ChannelMap = ChannelSelection;

SampleDepth depthOfChannel(const OIIO::ImageSpec& spec, int channel) {
    const OIIO::TypeDesc type = spec.channelformat(channel);
    if (type == OIIO::TypeDesc::UINT8) {
        return SampleDepth::bits8;
    }
    if (type == OIIO::TypeDesc::UINT16) {
        return SampleDepth::bits16;
    }
    return SampleDepth::float32;
}

OIIO::TypeDesc typeOf(SampleDepth depth) {
    switch (depth) {
        case SampleDepth::bits8:
            return OIIO::TypeDesc::UINT8;
        case SampleDepth::bits16:
            return OIIO::TypeDesc::UINT16;
        case SampleDepth::float32:
            return OIIO::TypeDesc::FLOAT;
    }
    return OIIO::TypeDesc::FLOAT;
}

template <class T>
void fillSamples(std::span<T> samples, const std::vector<T>& file, int file_channels,
                 const ChannelMap& map, T full) {
    const size_t pixels = samples.size() / Image::channels;
    for (size_t p = 0; p < pixels; ++p) {
        const T* in = file.data() + p * size_t(file_channels);
        T* out = samples.data() + p * Image::channels;
        out[0] = in[map.rgb[0].index];
        out[1] = in[map.rgb[1].index];
        out[2] = in[map.rgb[2].index];
        out[3] = map.alpha.valid() ? in[map.alpha.index] : full;
    }
}

// Colour and alpha from their part at type T; the depth plane as floats, from the same read
// when the types and parts agree, else by a read of its one channel.
template <class T>
bool readSamples(OIIO::ImageInput& in, const OIIO::ImageSpec& spec, const ChannelMap& map,
                 std::span<T> samples, T full, std::vector<float>* z) {
    const int part = map.rgb[0].part;
    std::vector<T> file(size_t(spec.width) * size_t(spec.height) * size_t(spec.nchannels));
    if (!in.read_image(part, 0, 0, spec.nchannels, OIIO::BaseTypeFromC<T>::value, file.data())) {
        return false;
    }
    fillSamples(samples, file, spec.nchannels, map, full);
    if (!map.z.valid()) {
        return true;
    }
    z->resize(size_t(spec.width) * size_t(spec.height));
    if constexpr (std::is_same_v<T, float>) {
        if (map.z.part == part) {
            for (size_t p = 0; p < z->size(); ++p) {
                (*z)[p] = file[p * size_t(spec.nchannels) + size_t(map.z.index)];
            }
            return true;
        }
    }
    return in.read_image(map.z.part, 0, map.z.index, map.z.index + 1, OIIO::TypeDesc::FLOAT,
                         z->data());
}

// Attributes that describe how the input file was stored, not what it shows; the rest
// (camera, frame, render statistics, custom attributes) is carried to an EXR output.
bool layoutAttribute(const std::string& name) {
    static const char* const kLayout[] = {"compression",
                                          "planarconfig",
                                          "name",
                                          "type",
                                          "view",
                                          "chunkCount",
                                          "version",
                                          "BlenderMultiChannel",
                                          "openexr:chunkCount",
                                          "openexr:version",
                                          "openexr:lineOrder",
                                          "openexr:dwaCompressionLevel",
                                          "openexr:levelmode",
                                          "openexr:roundingmode"};
    for (const char* n : kLayout) {
        if (name == n) return true;
    }
    static const char* const kPrefixes[] = {"oiio:", "tiff:", "png:", "jpeg:", "ICCProfile"};
    for (const char* prefix : kPrefixes) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::string lowerExtension(const fs::path& file) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

const char* pluginName(ImageFormat format) {
    switch (format) {
        case ImageFormat::exr:
            return "openexr";
        case ImageFormat::png:
            return "png";
        case ImageFormat::tiff:
            return "tiff";
        case ImageFormat::jpeg:
            return "jpeg";
    }
    return "";
}

// A file name in the folder of `file` that no other writer uses.
fs::path temporaryName(const fs::path& file) {
    static std::atomic<unsigned> counter{0};
    const std::string name = "." + file.filename().string() + ".tmp" + std::to_string(::getpid()) +
                             "-" + std::to_string(counter++);
    return file.parent_path() / name;
}

// Removes the temporary file unless the write completed.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    const fs::path& path() const { return path_; }
    void release() { path_.clear(); }

private:
    fs::path path_;
};

bool opaque(const Image& image) {
    const double full = fileMaximum(image.depth());
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.sample(x, y, 3) != full) {
                return false;
            }
        }
    }
    return true;
}

// The channels to store, as indices into the image's R, G, B, A (4 stands for the depth plane).
std::vector<int> outputChannels(const Image& image, ImageFormat format,
                                const WriteOptions& options) {
    std::vector<int> channels;
    if (options.gray) {
        channels.push_back(0);
        if (format != ImageFormat::jpeg && !opaque(image)) {
            channels.push_back(3);
        }
    } else {
        channels = {0, 1, 2};
        if (format != ImageFormat::jpeg) {
            channels.push_back(3);
        }
    }
    if (format == ImageFormat::exr && image.hasZ()) {
        channels.push_back(4);
    }
    return channels;
}

SampleDepth outputDepth(const Image& image, ImageFormat format) {
    switch (format) {
        case ImageFormat::exr:
            return SampleDepth::float32;
        case ImageFormat::tiff:
            return image.depth();
        case ImageFormat::png:
            return image.depth() == SampleDepth::bits8 ? SampleDepth::bits8 : SampleDepth::bits16;
        case ImageFormat::jpeg:
            return SampleDepth::bits8;
    }
    return SampleDepth::float32;
}

template <class T>
std::vector<T> interleave(const Image& image, std::span<const T> samples,
                          const std::vector<int>& channels) {
    const size_t pixels = size_t(image.width()) * size_t(image.height());
    std::vector<T> out(pixels * channels.size());
    for (size_t p = 0; p < pixels; ++p) {
        for (size_t c = 0; c < channels.size(); ++c) {
            const int from = channels[c];
            if constexpr (std::is_same_v<T, float>) {
                out[p * channels.size() + c] =
                    from == 4 ? image.z()[p] : samples[p * Image::channels + size_t(from)];
            } else {
                out[p * channels.size() + c] = samples[p * Image::channels + size_t(from)];
            }
        }
    }
    return out;
}

}  // namespace

ImageFormat formatFromExtension(const fs::path& file) {
    const std::string ext = lowerExtension(file);
    if (ext == ".exr") {
        return ImageFormat::exr;
    }
    if (ext == ".png") {
        return ImageFormat::png;
    }
    if (ext == ".tif" || ext == ".tiff") {
        return ImageFormat::tiff;
    }
    if (ext == ".jpg" || ext == ".jpeg") {
        return ImageFormat::jpeg;
    }
    if (ext.empty()) {
        throw writeError(
            file, std::string("no extension to choose the format (use ") + kExtensionList + ")");
    }
    throw writeError(
        file, "unknown extension '" + file.extension().string() + "' (use " + kExtensionList + ")");
}

Image readImage(const fs::path& file, const ChannelRequest& request, ImageFileInfo* info) {
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (!fs::exists(status)) {
        throw readError(file, "no such file");
    }
    if (fs::is_directory(status)) {
        throw readError(file, "it is a folder, not an image file");
    }
    {
        std::FILE* probe = std::fopen(file.c_str(), "rb");
        if (!probe) {
            throw readError(file, std::strerror(errno));
        }
        const int first = std::fgetc(probe);
        std::fclose(probe);
        if (first == EOF) {
            throw readError(file, "the file is empty");
        }
    }
    if (!exrHeadersAreWhole(file)) {
        throw readError(file, "not an image file (unknown format or damaged header)");
    }
    if (!pngChunksAreWhole(file)) {
        throw readError(file, "damaged PNG file: a chunk runs past the end of the file");
    }

    SilencedStderr quiet;
    OIIO::ImageSpec config;
    // Keep straight alpha as stored; OpenImageIO would otherwise premultiply PNG and TIFF.
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(file.string(), &config);
    if (!in) {
        discardErrors(nullptr);
        throw readError(file, "not an image file (unknown format or damaged header)");
    }
    // Every part's channel names, for the choice by name.
    std::vector<FilePart> parts;
    for (int part = 0; in->seek_subimage(part, 0); ++part) {
        const OIIO::ImageSpec& part_spec = in->spec();
        FilePart names{part_spec.get_string_attribute("oiio:subimagename"),
                       {part_spec.channelnames.begin(), part_spec.channelnames.end()}};
        names.channels.resize(size_t(std::max(part_spec.nchannels, 0)));
        parts.push_back(std::move(names));
    }
    discardErrors(in.get());
    if (parts.empty()) {
        throw readError(file, "not an image file (unknown format or damaged header)");
    }
    ChannelMap map;
    try {
        map = chooseChannels(parts, request, file.string());
    } catch (const QbrenderError&) {
        discardErrors(in.get());
        throw;
    }
    const int part = map.rgb[0].part;
    const OIIO::ImageSpec spec = in->spec(part, 0);
    if (spec.deep) {
        discardErrors(in.get());
        throw readError(file, "deep images are not supported");
    }
    if (spec.depth > 1) {
        discardErrors(in.get());
        throw readError(file, "volume images are not supported");
    }
    if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0) {
        discardErrors(in.get());
        throw readError(file, "the image is empty (" + std::to_string(spec.width) + "x" +
                                  std::to_string(spec.height) + ", " +
                                  std::to_string(spec.nchannels) + " channels)");
    }
    if (map.z.valid() && map.z.part != part) {
        const OIIO::ImageSpec z_spec = in->spec_dimensions(map.z.part, 0);
        if (z_spec.deep || z_spec.x != spec.x || z_spec.y != spec.y || z_spec.width != spec.width ||
            z_spec.height != spec.height) {
            discardErrors(in.get());
            throw readError(file, "the depth part " + std::to_string(map.z.part) + " is " +
                                      std::to_string(z_spec.width) + "x" +
                                      std::to_string(z_spec.height) + ", the colour part " +
                                      std::to_string(part) + " " + std::to_string(spec.width) +
                                      "x" + std::to_string(spec.height) +
                                      " (the data windows must match)");
        }
    }
    if (info != nullptr) {
        info->channels = map.description;
        info->note = map.note;
        info->metadata.clear();
        for (const OIIO::ParamValue& p : spec.extra_attribs) {
            if (!layoutAttribute(p.name().string())) info->metadata.push_back(p);
        }
    }

    const SampleDepth depth = depthOfChannel(spec, map.rgb[0].index);
    // A damaged or hostile header may announce far more pixels than the file holds; the
    // buffers below would be zero-filled in full before the data turns out to be missing, and
    // on a machine that overcommits the kernel kills the process instead of failing the
    // allocation. The file's samples and the image's RGBA samples are held at once.
    // In doubles: 2^31 x 2^31 pixels of many channels pass 2^64 bytes.
    const double pixels = double(spec.width) * double(spec.height);
    const double needed =
        pixels * (double(spec.nchannels) + Image::channels) * (bitsOf(depth) / 8) +
        (map.z.valid() ? pixels * sizeof(float) : 0.0);
    const uint64_t memory = machineHandleMemory();
    if (memory != 0 && needed > double(memory)) {
        discardErrors(in.get());
        const uint64_t needed_mb = uint64_t(std::min(needed, 1e18)) >> 20;
        throw readError(file, "the image is " + std::to_string(spec.width) + "x" +
                                  std::to_string(spec.height) + " pixels, " +
                                  std::to_string(needed_mb) + " MB once read, more than the " +
                                  std::to_string(memory >> 20) + " MB of memory free");
    }
    Image image(spec.width, spec.height, depth);
    std::vector<float> z;
    bool ok = false;
    switch (depth) {
        case SampleDepth::bits8:
            ok = readSamples<uint8_t>(*in, spec, map, image.samples8(), 255, &z);
            break;
        case SampleDepth::bits16:
            ok = readSamples<uint16_t>(*in, spec, map, image.samples16(), 65535, &z);
            break;
        case SampleDepth::float32:
            ok = readSamples<float>(*in, spec, map, image.samplesFloat(), 1.0f, &z);
            break;
    }
    if (!ok) {
        discardErrors(in.get());
        throw readError(file, "the image data is truncated or damaged");
    }
    const bool jpeg = std::string(in->format_name()) == "jpeg";
    in->close();
    discardErrors(in.get());
    if (jpeg && !jpegLooksComplete(file)) {
        throw readError(file, "the image data is truncated or damaged");
    }
    if (!z.empty()) {
        image.setZ(std::move(z));
    }
    return image;
}

std::string precisionLossNote(SampleDepth depth, const fs::path& file) {
    const ImageFormat format = formatFromExtension(file);
    if (depth == SampleDepth::float32 && format == ImageFormat::png) {
        return "'" + file.string() + "' holds 16-bit integers: float values are clipped to 0..1";
    }
    if (depth != SampleDepth::bits8 && format == ImageFormat::jpeg) {
        return "'" + file.string() + "' holds 8-bit integers: " +
               (depth == SampleDepth::float32 ? "float values are clipped to 0..1 and rounded"
                                              : "16-bit values are rounded to 8 bits");
    }
    return "";
}

void checkOutputPath(const fs::path& file) {
    formatFromExtension(file);
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    std::error_code ec;
    const fs::file_status folder_status = fs::status(folder, ec);
    if (!fs::exists(folder_status)) {
        throw writeError(file, "folder '" + folder.string() + "' does not exist");
    }
    if (!fs::is_directory(folder_status)) {
        throw writeError(file, "'" + folder.string() + "' is not a folder");
    }
    if (fs::is_directory(fs::status(file, ec))) {
        throw writeError(file, "it is a folder");
    }
}

void writeImage(const Image& image, const fs::path& file, const WriteOptions& options) {
    checkOutputPath(file);
    const ImageFormat format = formatFromExtension(file);
    if (image.empty()) {
        throw writeError(file, "the image is empty (" + std::to_string(image.width()) + "x" +
                                   std::to_string(image.height()) + ")");
    }

    // The JPEG encoder ends the process on larger images instead of reporting an error.
    constexpr int kJpegMaximum = 65500;
    if (format == ImageFormat::jpeg &&
        (image.width() > kJpegMaximum || image.height() > kJpegMaximum)) {
        throw writeError(file, "JPEG holds at most " + std::to_string(kJpegMaximum) +
                                   " pixels per side, not " + std::to_string(image.width()) + "x" +
                                   std::to_string(image.height()));
    }

    const std::vector<int> channels = outputChannels(image, format, options);
    const SampleDepth depth = outputDepth(image, format);
    OIIO::ImageSpec spec(image.width(), image.height(), int(channels.size()), typeOf(depth));
    spec.channelnames.clear();
    for (size_t c = 0; c < channels.size(); ++c) {
        static const char* const kNames[] = {"R", "G", "B", "A", "Z"};
        const bool gray = options.gray && channels[c] == 0;
        spec.channelnames.emplace_back(gray ? "Y" : kNames[channels[c]]);
        if (channels[c] == 3) {
            spec.alpha_channel = int(c);
        }
        if (channels[c] == 4) {
            spec.z_channel = int(c);
        }
    }
    if (format == ImageFormat::exr && options.half_float) {
        spec.format = OIIO::TypeDesc::HALF;
        spec.channelformats.assign(channels.size(), OIIO::TypeDesc::HALF);
        if (spec.z_channel >= 0) {
            spec.channelformats[size_t(spec.z_channel)] = OIIO::TypeDesc::FLOAT;
        }
    }
    if (format == ImageFormat::exr) {
        if (options.metadata != nullptr) {
            for (const OIIO::ParamValue& p : *options.metadata)
                spec.attribute(p.name(), p.type(), p.data());
        }
        spec.attribute("compression", "zip");
    }
    // Straight alpha is written as it is; OpenImageIO would otherwise un-premultiply.
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (format == ImageFormat::jpeg) {
        spec.attribute("Compression",
                       "jpeg:" + std::to_string(std::clamp(options.jpeg_quality, 1, 100)));
    }

    const Image converted = image.depth() == depth ? Image() : image.converted(depth);
    const Image& source = image.depth() == depth ? image : converted;
    std::vector<uint8_t> data8;
    std::vector<uint16_t> data16;
    std::vector<float> data_float;
    const void* data = nullptr;
    switch (depth) {
        case SampleDepth::bits8:
            data8 = interleave<uint8_t>(source, source.samples8(), channels);
            data = data8.data();
            break;
        case SampleDepth::bits16:
            data16 = interleave<uint16_t>(source, source.samples16(), channels);
            data = data16.data();
            break;
        case SampleDepth::float32:
            data_float = interleave<float>(source, source.samplesFloat(), channels);
            data = data_float.data();
            break;
    }

    SilencedStderr quiet;
    TemporaryFile temporary(temporaryName(file));
    auto out = OIIO::ImageOutput::create(pluginName(format));
    if (!out) {
        OIIO::geterror();
        throw writeError(file,
                         std::string("no writer for the format '") + pluginName(format) + "'");
    }
    const bool written = out->open(temporary.path().string(), spec) &&
                         out->write_image(typeOf(depth), data) && out->close();
    if (!written) {
        std::string why = out->geterror();
        OIIO::geterror();
        why = why.substr(0, why.find('\n'));
        for (size_t at = why.find(temporary.path().string()); at != std::string::npos;
             at = why.find(temporary.path().string())) {
            why.replace(at, temporary.path().string().size(), file.string());
        }
        throw writeError(file, why.empty() ? std::string("the image could not be written") : why);
    }
    if (options.fail_before_rename) {
        throw writeError(file, "failing on purpose before the rename");
    }
    std::error_code ec;
    fs::rename(temporary.path(), file, ec);
    if (ec) {
        throw writeError(file, ec.message());
    }
    temporary.release();
}
