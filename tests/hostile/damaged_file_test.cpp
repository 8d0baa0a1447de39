#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/hostile/hostile_render.h"
#include "qbrender/image_file.h"
#include "qbrender/qbrender_error.h"
#include "tests/qbrender/test_folder.h"

// Files that are not what they claim: EXR, PNG and TIFF cut short at several lengths or with
// bytes overwritten, a text file, an empty file, a folder, a missing file, and headers that
// announce images far too large to hold. Reading either gives an image of the announced kind
// or throws QbrenderError naming the file; an image that is read renders.

namespace fs = std::filesystem;

namespace {

std::vector<char> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& file, const std::vector<char>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// A fixed linear congruential sequence, so that every run damages the same bytes.
struct Sequence {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    }
};

// Reads `file`; true when it gave an image. A throw must be a QbrenderError that names it.
bool readsOrRefuses(const fs::path& file, Image* image) {
    try {
        *image = readImage(file);
        return true;
    } catch (const QbrenderError& e) {
        EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        EXPECT_EQ(e.status(), ExitStatus::bad_input);
    } catch (const std::exception& e) {
        ADD_FAILURE() << file << ": not a QbrenderError: " << e.what();
    }
    return false;
}

// The CRC-32 of PNG chunks (reflected polynomial 0xEDB88320), bit by bit.
uint32_t crc32(const char* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= uint8_t(data[i]);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

struct Counts {
    int read = 0;
    int refused = 0;
};

// What a damaged image that still reads must do: render through Evenblur at a small radius.
void renderRead(const Image& image, const std::string& what) {
    if (image.width() * image.height() > 4096) {
        ADD_FAILURE() << what << ": read as " << image.width() << "x" << image.height();
        return;
    }
    HostileRender job;
    job.effect = "evenblur";
    job.input = image;
    job.sets = {{"radius", "3"}};
    job.frame.depth = image.depth();
    expectDefinedFrame(renderHostile(job), what);
}

Counts damageAndRead(const TestFolder& folder, const char* extension, const Image& original,
                     bool render_survivors) {
    const fs::path good = folder / (std::string("good") + extension);
    writeImage(original, good);
    const std::vector<char> bytes = readBytes(good);
    Counts counts;
    int case_number = 0;
    const auto attempt = [&](const std::vector<char>& damaged, const std::string& how) {
        const fs::path file = folder / ("case" + std::to_string(case_number++) + extension);
        writeBytes(file, damaged);
        Image image;
        if (readsOrRefuses(file, &image)) {
            ++counts.read;
            if (render_survivors) renderRead(image, std::string(extension) + " " + how);
        } else {
            ++counts.refused;
        }
        fs::remove(file);
    };
    // Cut short: inside the signature, inside the header, and through the pixel data.
    for (const size_t length :
         {size_t(1), size_t(4), size_t(8), size_t(16), size_t(33), size_t(100), bytes.size() / 4,
          bytes.size() / 2, bytes.size() * 3 / 4, bytes.size() - 1}) {
        if (length >= bytes.size()) continue;
        attempt(std::vector<char>(bytes.begin(), bytes.begin() + std::ptrdiff_t(length)),
                "cut at " + std::to_string(length));
    }
    // Bytes overwritten at random places, from a single byte to a hundred.
    Sequence random{0x5eed0000u + uint64_t(bytes.size())};
    for (const int flips : {1, 1, 2, 4, 8, 16, 100}) {
        for (int repeat = 0; repeat < 4; ++repeat) {
            std::vector<char> damaged = bytes;
            for (int f = 0; f < flips; ++f) {
                damaged[random.next() % damaged.size()] = char(random.next() & 0xff);
            }
            attempt(damaged, std::to_string(flips) + " bytes overwritten");
        }
    }
    // The header survives, the rest is noise.
    std::vector<char> noise = bytes;
    for (size_t i = std::min<size_t>(64, bytes.size()); i < noise.size(); ++i) {
        noise[i] = char(random.next() & 0xff);
    }
    attempt(noise, "noise after the header");
    return counts;
}

TEST(DamagedImageFiles, CutShortOrOverwritten) {
    const TestFolder folder;
    Image z_image = patternImage(24, 18, true);
    const struct {
        const char* extension;
        Image image;
    } formats[] = {{".exr", z_image},
                   {".png", patternImage(24, 18, false).converted(SampleDepth::bits8)},
                   {".png", patternImage(24, 18, false).converted(SampleDepth::bits16)},
                   {".tif", patternImage(24, 18, false).converted(SampleDepth::bits8)},
                   {".tif", patternImage(24, 18, false).converted(SampleDepth::bits16)}};
    int total_read = 0, total_refused = 0;
    for (const auto& f : formats) {
        SCOPED_TRACE(std::string(f.extension) + " " + depthName(f.image.depth()));
        const Counts counts = damageAndRead(folder, f.extension, f.image, true);
        total_read += counts.read;
        total_refused += counts.refused;
        // Cutting inside the signature can never give an image.
        EXPECT_GE(counts.refused, 3);
    }
    std::printf("damaged files: %d read, %d refused\n", total_read, total_refused);
}

TEST(DamagedImageFiles, NotAnImageEmptyFolderMissing) {
    const TestFolder folder;
    writeBytes(folder / "notes.png", {'h', 'e', 'l', 'l', 'o', '\n'});
    writeBytes(folder / "empty.exr", {});
    fs::create_directories(folder / "folder.png");
    const struct {
        const char* name;
        const char* why;
    } cases[] = {{"notes.png", "not an image file"},
                 {"empty.exr", "the file is empty"},
                 {"folder.png", "it is a folder"},
                 {"missing.tif", "no such file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            readImage(folder / c.name);
            ADD_FAILURE() << "read";
        } catch (const QbrenderError& e) {
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
        }
    }
}

// Headers announcing 60000x60000 pixels (27 GB of 8-bit samples once read) with almost no
// data: the reader must refuse before it allocates, not be killed by the kernel. The PNG
// header is valid (its CRC matches), so it is the size check that refuses it; the patched TIFF
// and EXR headers may also be refused as damaged.
TEST(DamagedImageFiles, HeaderAnnouncingAHugeImage) {
    const TestFolder folder;
    for (const char* extension : {".png", ".tif", ".exr"}) {
        SCOPED_TRACE(extension);
        // Each format stores the size in its header: write a small file, then patch it.
        const fs::path good = folder / (std::string("small") + extension);
        writeImage(patternImage(8, 8, false)
                       .converted(extension == std::string(".exr") ? SampleDepth::float32
                                                                   : SampleDepth::bits8),
                   good);
        std::vector<char> bytes = readBytes(good);
        // PNG: IHDR width and height, big-endian, at bytes 16 and 20, with the chunk's CRC
        // (over type and data, bytes 12 .. 28) made to match, so that the header is valid.
        const bool png = std::string(extension) == ".png";
        if (png) {
            for (const int at : {16, 20}) {
                bytes[size_t(at)] = 0;
                bytes[size_t(at + 1)] = 0;
                bytes[size_t(at + 2)] = char(0xEA);
                bytes[size_t(at + 3)] = char(0x60);
            }
            const uint32_t crc = crc32(bytes.data() + 12, 17);
            for (int b = 0; b < 4; ++b) bytes[size_t(29 + b)] = char((crc >> (24 - 8 * b)) & 0xff);
        } else {
            // TIFF and EXR: patch every little-endian 32-bit 8 (width/height, EXR's data window
            // 7) in the first bytes to 60000 (59999).
            const uint32_t from[] = {8u, 7u};
            for (size_t i = 0; i + 4 <= std::min<size_t>(bytes.size(), 400); ++i) {
                uint32_t v = uint32_t(uint8_t(bytes[i])) | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                             uint32_t(uint8_t(bytes[i + 2])) << 16 |
                             uint32_t(uint8_t(bytes[i + 3])) << 24;
                if (v != from[0] && v != from[1]) continue;
                v = v == 8 ? 60000u : 59999u;
                for (int b = 0; b < 4; ++b) bytes[i + size_t(b)] = char((v >> (8 * b)) & 0xff);
                i += 3;
            }
        }
        const fs::path huge = folder / (std::string("huge") + extension);
        writeBytes(huge, bytes);
        if (png) {
            try {
                readImage(huge);
                ADD_FAILURE() << "read";
            } catch (const QbrenderError& e) {
                EXPECT_NE(std::string(e.what()).find("60000x60000 pixels"), std::string::npos)
                    << e.what();
            }
            continue;
        }
        Image image;
        if (readsOrRefuses(huge, &image)) {
            EXPECT_LE(uint64_t(image.width()) * uint64_t(image.height()), uint64_t(4096));
        }
    }
}

}  // namespace
