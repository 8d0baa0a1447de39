#include "qbrender/image_file.h"

#include <unistd.h>

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "qbrender/exr_header_check.h"
#include "qbrender/png_chunk_check.h"
#include "qbrender/qbrender_error.h"
#include "tests/qbrender/test_folder.h"

namespace fs = std::filesystem;

namespace {

// A 7x5 image whose samples cover the range, with transparent and half-transparent pixels that
// keep their colour (straight alpha).
Image patternImage(SampleDepth depth, int w = 7, int h = 5) {
    Image image(w, h, depth);
    const double max = fileMaximum(depth);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.setSample(x, y, 0, std::fmod((x * 37 + y * 11) / 256.0, 1.0) * max);
            image.setSample(x, y, 1, std::fmod((x * 5 + y * 71) / 97.0, 1.0) * max);
            image.setSample(x, y, 2, ((x + y) % 2 ? 1.0 : 0.25) * max);
            image.setSample(x, y, 3, (x == 0 ? 0.0 : x == 1 ? 0.5 : 1.0) * max);
        }
    }
    return image;
}

void expectSameSamples(const Image& a, const Image& b, double tolerance = 0.0) {
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    ASSERT_EQ(a.depth(), b.depth());
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            for (int c = 0; c < 4; ++c) {
                const double va = a.sample(x, y, c), vb = b.sample(x, y, c);
                if (tolerance == 0.0 || !std::isfinite(va) || !std::isfinite(vb)) {
                    ASSERT_TRUE(va == vb || (std::isnan(va) && std::isnan(vb)))
                        << va << " vs " << vb << " at pixel " << x << "," << y << " channel " << c;
                } else {
                    ASSERT_NEAR(va, vb, tolerance) << "pixel " << x << "," << y << " channel " << c;
                }
            }
        }
    }
}

std::string readErrorOf(const fs::path& file) {
    try {
        readImage(file);
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::bad_input);
        return e.what();
    }
    ADD_FAILURE() << "reading " << file << " did not fail";
    return {};
}

std::string writeErrorOf(const Image& image, const fs::path& file) {
    try {
        writeImage(image, file);
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.status(), ExitStatus::bad_input);
        return e.what();
    }
    ADD_FAILURE() << "writing " << file << " did not fail";
    return {};
}

OIIO::ImageSpec specOf(const fs::path& file) {
    auto in = OIIO::ImageInput::open(file.string());
    EXPECT_TRUE(in) << file;
    return in ? in->spec() : OIIO::ImageSpec();
}

// Writes a file with OpenImageIO directly, so that the reader is not tested by its own writer.
template <class T>
void writeRaw(const fs::path& file, int w, int h, const std::vector<std::string>& names,
              OIIO::TypeDesc type, const std::vector<T>& data) {
    OIIO::ImageSpec spec(w, h, int(names.size()), type);
    spec.channelnames = names;
    spec.alpha_channel = -1;
    for (size_t c = 0; c < names.size(); ++c) {
        if (names[c] == "A") {
            spec.alpha_channel = int(c);
        }
    }
    spec.attribute("oiio:UnassociatedAlpha", 1);
    auto out = OIIO::ImageOutput::create(file.string());
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->open(file.string(), spec)) << out->geterror();
    ASSERT_TRUE(out->write_image(type, data.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

void truncateTo(const fs::path& file, double fraction) {
    fs::resize_file(file, uintmax_t(double(fs::file_size(file)) * fraction));
}

std::string fileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct RoundTrip {
    const char* name;
    SampleDepth depth;
};

class ExactRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(ExactRoundTrip, SamplesAndStraightAlphaComeBackUnchanged) {
    TestFolder folder;
    const fs::path file = folder / GetParam().name;
    const Image image = patternImage(GetParam().depth);
    writeImage(image, file);
    expectSameSamples(readImage(file), image);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{GetParam().name});
}

INSTANTIATE_TEST_SUITE_P(Formats, ExactRoundTrip,
                         ::testing::Values(RoundTrip{"a.png", SampleDepth::bits8},
                                           RoundTrip{"b.png", SampleDepth::bits16},
                                           RoundTrip{"c.tif", SampleDepth::bits8},
                                           RoundTrip{"d.tiff", SampleDepth::bits16},
                                           RoundTrip{"e.exr", SampleDepth::float32}),
                         [](const auto& param_info) {
                             std::string n = param_info.param.name;
                             return n.substr(0, n.find('.')) + "_" + n.substr(n.find('.') + 1);
                         });

TEST(ImageFile, ExrKeepsOutOfRangeFloatsAndTheDepthPlane) {
    TestFolder folder;
    Image image = patternImage(SampleDepth::float32, 5, 3);
    image.setSample(0, 0, 0, 3.75);
    image.setSample(1, 0, 1, -0.125);
    image.setSample(2, 0, 2, std::numeric_limits<double>::infinity());
    std::vector<float> z(15);
    for (size_t i = 0; i < z.size(); ++i) {
        z[i] = 1.5f + 10.0f * float(i);
    }
    image.setZ(z);
    writeImage(image, folder / "z.exr");
    const OIIO::ImageSpec spec = specOf(folder / "z.exr");
    EXPECT_EQ(spec.nchannels, 5);
    EXPECT_GE(spec.channelindex("Z"), 0);
    EXPECT_EQ(spec.format, OIIO::TypeDesc::FLOAT);

    const Image back = readImage(folder / "z.exr");
    expectSameSamples(back, image);
    ASSERT_TRUE(back.hasZ());
    for (size_t i = 0; i < z.size(); ++i) {
        EXPECT_EQ(back.z()[i], z[i]);
    }
}

TEST(ImageFile, HalfExrRoundsColourToHalfAndKeepsFloatDepth) {
    TestFolder folder;
    Image image = patternImage(SampleDepth::float32);
    image.setSample(3, 2, 0, 1.0 / 3.0);
    image.setZ(std::vector<float>(35, 12345.678f));
    WriteOptions options;
    options.half_float = true;
    writeImage(image, folder / "h.exr", options);
    const OIIO::ImageSpec spec = specOf(folder / "h.exr");
    EXPECT_EQ(spec.channelformat(0), OIIO::TypeDesc::HALF);
    EXPECT_EQ(spec.channelformat(spec.channelindex("Z")), OIIO::TypeDesc::FLOAT);
    const Image back = readImage(folder / "h.exr");
    EXPECT_EQ(back.depth(), SampleDepth::float32);
    expectSameSamples(back, image, 1.0 / 1024.0);
    EXPECT_NE(back.sample(3, 2, 0), image.sample(3, 2, 0));  // really stored as half
    EXPECT_EQ(back.z()[34], 12345.678f);
}

// PNG holds 16-bit integers at most, and says so; TIFF keeps float samples as they are.
TEST(ImageFile, FloatImagesBecomeSixteenBitPngAndStayFloatInTiff) {
    TestFolder folder;
    Image image(4, 1, SampleDepth::float32);
    const double values[4] = {-1.0, 0.5, 2.0, std::numeric_limits<double>::quiet_NaN()};
    for (int x = 0; x < 4; ++x) {
        for (int c = 0; c < 4; ++c) {
            image.setSample(x, 0, c, values[x]);
        }
    }
    writeImage(image, folder / "f.png");
    EXPECT_EQ(specOf(folder / "f.png").format, OIIO::TypeDesc::UINT16);
    const Image png = readImage(folder / "f.png");
    ASSERT_EQ(png.depth(), SampleDepth::bits16);
    EXPECT_EQ(png.sample(0, 0, 0), 0);
    EXPECT_EQ(png.sample(1, 0, 0), 32768);  // round(0.5 * 65535)
    EXPECT_EQ(png.sample(2, 0, 0), 65535);
    EXPECT_EQ(png.sample(3, 0, 0), 0);
    EXPECT_EQ(precisionLossNote(SampleDepth::float32, folder / "f.png"),
              "'" + (folder / "f.png").string() +
                  "' holds 16-bit integers: float values are clipped to 0..1");
    EXPECT_NE(precisionLossNote(SampleDepth::bits16, folder / "f.jpg"), "");
    EXPECT_EQ(precisionLossNote(SampleDepth::bits16, folder / "f.png"), "");

    writeImage(image, folder / "f.tif");
    EXPECT_EQ(specOf(folder / "f.tif").format, OIIO::TypeDesc::FLOAT);
    expectSameSamples(readImage(folder / "f.tif"), image);
    EXPECT_EQ(precisionLossNote(SampleDepth::float32, folder / "f.tif"), "");
}

TEST(ImageFile, IntegerImagesInExrAreOnTheUnitScale) {
    TestFolder folder;
    const Image image = patternImage(SampleDepth::bits16);
    writeImage(image, folder / "i.exr");
    const Image back = readImage(folder / "i.exr");
    ASSERT_EQ(back.depth(), SampleDepth::float32);
    for (int x = 0; x < image.width(); ++x) {
        EXPECT_FLOAT_EQ(float(back.sample(x, 1, 0)), float(image.sample(x, 1, 0) / 65535.0));
    }
}

TEST(ImageFile, JpegIsEightBitOpaqueAndClose) {
    TestFolder folder;
    // Smooth content: JPEG is lossy, but not by much on gradients.
    Image image(33, 17, SampleDepth::bits16);
    for (int y = 0; y < 17; ++y) {
        for (int x = 0; x < 33; ++x) {
            image.setSample(x, y, 0, x * 2000.0);
            image.setSample(x, y, 1, y * 3800.0);
            image.setSample(x, y, 2, 30000.0);
            image.setSample(x, y, 3, 0.0);
        }
    }
    writeImage(image, folder / "j.JPG");
    EXPECT_EQ(specOf(folder / "j.JPG").nchannels, 3);
    const Image back = readImage(folder / "j.JPG");
    ASSERT_EQ(back.depth(), SampleDepth::bits8);
    const Image expected = image.converted(SampleDepth::bits8);
    for (int y = 0; y < 17; ++y) {
        for (int x = 0; x < 33; ++x) {
            for (int c = 0; c < 3; ++c) {
                ASSERT_NEAR(back.sample(x, y, c), expected.sample(x, y, c), 8.0);
            }
            ASSERT_EQ(back.sample(x, y, 3), 255);
        }
    }
}

TEST(ImageFile, GrayFilesAreExpandedAndFilesWithoutAlphaAreOpaque) {
    TestFolder folder;
    writeRaw<uint8_t>(folder / "g8.png", 3, 2, {"Y"}, OIIO::TypeDesc::UINT8,
                      {0, 9, 80, 127, 200, 255});
    const Image g8 = readImage(folder / "g8.png");
    ASSERT_EQ(g8.depth(), SampleDepth::bits8);
    EXPECT_EQ(g8.sample(2, 1, 0), 255);
    EXPECT_EQ(g8.sample(1, 0, 1), 9);
    EXPECT_EQ(g8.sample(1, 0, 2), 9);
    EXPECT_EQ(g8.sample(1, 0, 3), 255);

    writeRaw<uint16_t>(folder / "ga16.png", 2, 1, {"Y", "A"}, OIIO::TypeDesc::UINT16,
                       {1000, 0, 65535, 30000});
    const Image ga = readImage(folder / "ga16.png");
    ASSERT_EQ(ga.depth(), SampleDepth::bits16);
    EXPECT_EQ(ga.sample(0, 0, 0), 1000);  // colour kept under zero alpha
    EXPECT_EQ(ga.sample(0, 0, 2), 1000);
    EXPECT_EQ(ga.sample(0, 0, 3), 0);
    EXPECT_EQ(ga.sample(1, 0, 1), 65535);
    EXPECT_EQ(ga.sample(1, 0, 3), 30000);

    writeRaw<uint16_t>(folder / "rgb.tif", 1, 1, {"R", "G", "B"}, OIIO::TypeDesc::UINT16,
                       {1, 2, 3});
    const Image rgb = readImage(folder / "rgb.tif");
    EXPECT_EQ(rgb.sample(0, 0, 2), 3);
    EXPECT_EQ(rgb.sample(0, 0, 3), 65535);

    writeRaw<float>(folder / "rgb.exr", 1, 1, {"R", "G", "B"}, OIIO::TypeDesc::FLOAT,
                    {0.25f, 0.5f, 4.0f});
    const Image exr = readImage(folder / "rgb.exr");
    EXPECT_EQ(exr.sample(0, 0, 2), 4.0);
    EXPECT_EQ(exr.sample(0, 0, 3), 1.0);
    EXPECT_FALSE(exr.hasZ());

    writeRaw<float>(folder / "y.exr", 2, 1, {"Y", "Z"}, OIIO::TypeDesc::FLOAT,
                    {0.75f, 9.0f, 0.5f, 11.0f});
    const Image y = readImage(folder / "y.exr");
    EXPECT_EQ(y.sample(1, 0, 0), 0.5);
    EXPECT_EQ(y.sample(1, 0, 1), 0.5);
    ASSERT_TRUE(y.hasZ());
    EXPECT_EQ(y.z()[1], 11.0f);
}

TEST(ImageFile, GrayOptionWritesOneChannel) {
    TestFolder folder;
    Image image(3, 1, SampleDepth::bits16);
    for (int x = 0; x < 3; ++x) {
        for (int c = 0; c < 3; ++c) {
            image.setSample(x, 0, c, 20000.0 * x);
        }
        image.setSample(x, 0, 3, 65535);
    }
    WriteOptions gray;
    gray.gray = true;
    writeImage(image, folder / "g.png", gray);
    EXPECT_EQ(specOf(folder / "g.png").nchannels, 1);
    expectSameSamples(readImage(folder / "g.png"), image);

    image.setSample(1, 0, 3, 100);
    writeImage(image, folder / "ga.png", gray);
    EXPECT_EQ(specOf(folder / "ga.png").nchannels, 2);
    expectSameSamples(readImage(folder / "ga.png"), image);
}

TEST(ImageFile, ReadingFailuresNameTheFileAndTheReason) {
    TestFolder folder;
    const fs::path missing = folder / "missing.png";
    EXPECT_EQ(readErrorOf(missing), "cannot read '" + missing.string() + "': no such file");
    EXPECT_NE(readErrorOf(folder.path()).find("it is a folder"), std::string::npos);

    std::ofstream(folder / "empty.png").close();
    EXPECT_NE(readErrorOf(folder / "empty.png").find("empty.png': the file is empty"),
              std::string::npos);

    std::ofstream(folder / "notes.png") << "these are notes, not pixels\n";
    EXPECT_NE(readErrorOf(folder / "notes.png").find("notes.png': not an image file"),
              std::string::npos);
    std::ofstream(folder / "notes.txt") << "plain text\n";
    EXPECT_NE(readErrorOf(folder / "notes.txt").find("notes.txt': not an image file"),
              std::string::npos);
}

TEST(ImageFile, AnUnreadableFileIsReportedWithTheSystemsReason) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "the superuser reads every file";
    }
    TestFolder folder;
    writeImage(patternImage(SampleDepth::bits8), folder / "locked.png");
    fs::permissions(folder / "locked.png", fs::perms::none);
    EXPECT_EQ(readErrorOf(folder / "locked.png"),
              "cannot read '" + (folder / "locked.png").string() + "': Permission denied");
}

TEST(ImageFile, TruncatedAndCorruptFilesFailNamingTheFile) {
    TestFolder folder;
    const Image big = patternImage(SampleDepth::bits16, 64, 48);
    for (const char* name : {"t.png", "t.tif", "t.exr", "t.jpg"}) {
        writeImage(name == std::string("t.exr") ? big.converted(SampleDepth::float32) : big,
                   folder / name);
        truncateTo(folder / name, 0.4);
        const std::string message = readErrorOf(folder / name);
        EXPECT_EQ(message.rfind("cannot read '" + (folder / name).string() + "': ", 0), 0u)
            << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    writeImage(big, folder / "c.png");
    {
        std::fstream f(folder / "c.png", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(0);
        f.write("GARBAGE!GARBAGE!", 16);
    }
    EXPECT_NE(readErrorOf(folder / "c.png").find("c.png': not an image file"), std::string::npos);
}

// A flipped byte in an EXR attribute's 4-byte size claims up to 2 GiB that the file does not
// hold: the header check refuses it (the reader would allocate it first), and the file is
// reported as damaged. A size that just fits in the file passes the check (the file is still
// damaged and fails to read); a header cut short does not; other formats are not the check's
// business. The reader takes a channel list by its entries, not by its declared size: an
// attribute that a damaged list's size would skip is still read, and checked.
TEST(ImageFile, AnExrAttributeLargerThanTheFileIsADamagedHeader) {
    TestFolder folder;
    const fs::path good = folder / "good.exr";
    writeImage(patternImage(SampleDepth::float32), good);
    const std::string bytes = fileBytes(good);
    EXPECT_TRUE(exrHeadersAreWhole(good));
    expectSameSamples(readImage(good), patternImage(SampleDepth::float32));
    // The size field follows a string attribute's type (the date the writer stamps).
    const size_t type_end = bytes.find(std::string("string\0", 7), 8);
    ASSERT_NE(type_end, std::string::npos);
    const size_t size_at = type_end + 7;
    ASSERT_LE(size_at + 4, bytes.size());
    const uint32_t rest = uint32_t(bytes.size() - (size_at + 4));
    const fs::path file = folder / "damaged.exr";
    // rest - 1: the attribute takes all but the file's last byte, which (made 0) ends the header.
    for (const uint32_t size : {0x7f7f7f5cu, rest + 1, rest, rest - 1}) {
        std::string damaged = bytes;
        for (int k = 0; k < 4; ++k) damaged[size_at + size_t(k)] = char(size >> (8 * k) & 0xff);
        damaged.back() = '\0';
        std::ofstream(file, std::ios::binary) << damaged;
        const bool fits = size == rest - 1;
        EXPECT_EQ(exrHeadersAreWhole(file), fits) << std::hex << size;
        const std::string message = readErrorOf(file);
        EXPECT_NE(message.find(fits ? "damaged.exr': "
                                    : "damaged.exr': not an image file (unknown format or "
                                      "damaged header)"),
                  std::string::npos)
            << std::hex << size << ": " << message;
    }
    std::ofstream(file, std::ios::binary) << bytes.substr(0, size_at + 2);
    EXPECT_FALSE(exrHeadersAreWhole(file));

    // An attribute of 0x7f7f7f5c bytes after the channel list's entries, inside the list's
    // declared size (made larger by the inserted bytes).
    const size_t list_type = bytes.find(std::string("channels\0chlist\0", 16), 8);
    ASSERT_NE(list_type, std::string::npos);
    const size_t list_size_at = list_type + 16;
    uint32_t list_size = 0;
    for (int k = 0; k < 4; ++k) list_size |= uint32_t(uint8_t(bytes[list_size_at + k])) << (8 * k);
    const size_t list_end = list_size_at + 4 + list_size;
    ASSERT_EQ(bytes[list_end - 1], '\0');  // the list's empty name
    const std::string hidden = std::string("x\0string\0", 10) + "\x5c\x7f\x7f\x7f";
    std::string damaged = bytes.substr(0, list_end) + hidden + bytes.substr(list_end);
    list_size += uint32_t(hidden.size());
    for (int k = 0; k < 4; ++k) damaged[list_size_at + k] = char(list_size >> (8 * k) & 0xff);
    std::ofstream(file, std::ios::binary) << damaged;
    EXPECT_FALSE(exrHeadersAreWhole(file));
    EXPECT_NE(readErrorOf(file).find("damaged header"), std::string::npos);
    writeImage(patternImage(SampleDepth::bits8), folder / "p.png");
    EXPECT_TRUE(exrHeadersAreWhole(folder / "p.png"));
}

// The same for a PNG chunk: a length of 0x7f7f7f7f (one flipped byte from a text chunk's)
// made the reader take a gigabyte of memory for a file of a few hundred bytes. Every chunk of a
// written file is damaged in turn; a length that just fits passes the walk (the file stays
// damaged); a file cut inside a chunk is refused, one cut between two chunks is left to the
// reader.
TEST(ImageFile, APngChunkLongerThanTheFileIsRefused) {
    TestFolder folder;
    const fs::path good = folder / "good.png";
    writeImage(patternImage(SampleDepth::bits16), good);
    const std::string bytes = fileBytes(good);
    EXPECT_TRUE(pngChunksAreWhole(good));
    const auto length_at = [&](size_t at) {
        return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
               uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
    };
    std::vector<size_t> chunks;  // where each chunk's length field is
    for (size_t at = 8; at + 12 <= bytes.size(); at += 12 + length_at(at)) chunks.push_back(at);
    ASSERT_GE(chunks.size(), 3u);  // header, data, end
    ASSERT_EQ(bytes.substr(chunks.back() + 4, 4), "IEND");
    const fs::path file = folder / "damaged.png";
    const auto write_length = [&](size_t at, uint32_t length) {
        std::string damaged = bytes;
        for (int k = 0; k < 4; ++k) damaged[at + size_t(k)] = char(length >> (8 * (3 - k)) & 0xff);
        std::ofstream(file, std::ios::binary) << damaged;
    };
    for (const size_t at : chunks) {
        for (const uint32_t length : {0x7f7f7f7fu, 0x80000000u, uint32_t(bytes.size() - at - 11)}) {
            write_length(at, length);
            EXPECT_FALSE(pngChunksAreWhole(file)) << at << " " << length;
            EXPECT_NE(readErrorOf(file).find(
                          "damaged.png': damaged PNG file: a chunk runs past the end of the file"),
                      std::string::npos)
                << at << " " << length;
        }
    }
    // The first chunk after the header reaching exactly to the file's end.
    write_length(chunks[1], uint32_t(bytes.size() - chunks[1] - 12));
    EXPECT_TRUE(pngChunksAreWhole(file));
    const std::string message = readErrorOf(file);
    EXPECT_EQ(message.rfind("cannot read '" + file.string() + "': ", 0), 0u) << message;
    EXPECT_EQ(message.find("damaged PNG file"), std::string::npos) << message;
    // Cut in a chunk's data, in a CRC, in the end chunk's length and type.
    for (const size_t end : {chunks[1] + 9, chunks.back() - 1, chunks.back() + 4}) {
        std::ofstream(file, std::ios::binary) << bytes.substr(0, end);
        EXPECT_FALSE(pngChunksAreWhole(file)) << end;
    }
    std::ofstream(file, std::ios::binary) << bytes.substr(0, chunks.back());
    EXPECT_TRUE(pngChunksAreWhole(file));
    // What follows the end chunk is not the walk's business, nor the reader's.
    for (const std::string& tail : {std::string("xyz"), std::string("\x7f\x7f\x7f\x7ftEXt")}) {
        std::ofstream(file, std::ios::binary) << bytes + tail;
        EXPECT_TRUE(pngChunksAreWhole(file)) << tail.size();
        expectSameSamples(readImage(file), readImage(good));
    }
    writeImage(patternImage(SampleDepth::float32), folder / "e.exr");
    EXPECT_TRUE(pngChunksAreWhole(folder / "e.exr"));
}

TEST(ImageFile, OutputToAMissingFolderFailsAndCreatesNothing) {
    TestFolder folder;
    const fs::path out = folder / "nowhere" / "y.png";
    const std::string expected = "cannot write '" + out.string() + "': folder '" +
                                 (folder / "nowhere").string() + "' does not exist";
    EXPECT_EQ(writeErrorOf(patternImage(SampleDepth::bits8), out), expected);
    try {
        checkOutputPath(out);
        ADD_FAILURE() << "no error";
    } catch (const QbrenderError& e) {
        EXPECT_EQ(e.what(), expected);
    }
    EXPECT_TRUE(folder.entries().empty());
}

TEST(ImageFile, UnknownExtensionsAndFoldersAreRefused) {
    TestFolder folder;
    const Image image = patternImage(SampleDepth::bits8);
    EXPECT_NE(writeErrorOf(image, folder / "x.bmp").find("unknown extension '.bmp'"),
              std::string::npos);
    EXPECT_NE(writeErrorOf(image, folder / "x").find("no extension"), std::string::npos);
    fs::create_directory(folder / "dir.png");
    EXPECT_NE(writeErrorOf(image, folder / "dir.png").find("it is a folder"), std::string::npos);
    fs::remove(folder / "dir.png");
    std::ofstream(folder / "file") << "x";
    EXPECT_NE(writeErrorOf(image, folder / "file" / "x.png").find("is not a folder"),
              std::string::npos);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"file"});
    EXPECT_EQ(formatFromExtension("A.TIFF"), ImageFormat::tiff);
    EXPECT_EQ(formatFromExtension("a.Jpeg"), ImageFormat::jpeg);
    EXPECT_EQ(formatFromExtension("a.EXR"), ImageFormat::exr);
}

TEST(ImageFile, AFailedWriteLeavesNoTemporaryAndKeepsTheOldFile) {
    TestFolder folder;
    const Image image = patternImage(SampleDepth::float32);
    for (const char* name : {"old.jpg", "old.png", "old.exr", "old.tif"}) {
        const fs::path out = folder / name;
        std::ofstream(out) << "previous contents";
        WriteOptions failing;
        failing.fail_before_rename = true;
        EXPECT_THROW(writeImage(image, out, failing), QbrenderError) << name;
        std::ifstream in(out);
        std::string contents;
        std::getline(in, contents);
        EXPECT_EQ(contents, "previous contents") << name;
    }
    EXPECT_EQ(folder.entries(),
              (std::vector<std::string>{"old.exr", "old.jpg", "old.png", "old.tif"}));
}

TEST(ImageFile, JpegSizeLimitIsAnErrorNotAnExit) {
    TestFolder folder;
    const fs::path out = folder / "wide.jpg";
    const std::string message = writeErrorOf(Image(70000, 1, SampleDepth::bits8), out);
    EXPECT_EQ(message, "cannot write '" + out.string() +
                           "': JPEG holds at most 65500 pixels per side, not 70000x1");
    EXPECT_TRUE(folder.entries().empty());
}

TEST(ImageFile, ASuccessfulWriteReplacesTheOldFile) {
    TestFolder folder;
    const fs::path out = folder / "new.png";
    std::ofstream(out) << "previous contents";
    const Image image = patternImage(SampleDepth::bits8);
    writeImage(image, out);
    expectSameSamples(readImage(out), image);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"new.png"});
}

}  // namespace
