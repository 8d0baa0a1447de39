// Fuzz target for what qbrender parses from its user: "--set NAME=VALUE" values for every
// parameter kind of both effects, the command line (including "--layer NAME=FILE" and
// "--set NAME=VALUE" splitting and the parameter name lookup), and image files.
//
// Input: the first byte chooses what is parsed, the rest is the text or file.
//   0  a value for one parameter (second byte: effect and position) through setFromText
//   1  a command line: arguments separated by zero bytes
//   2  an image file, read through readImage
//   3  a command line after "qbrender EFFECT", whose --set values and --layer names are then
//      applied to the effect's parameters by name
// A parse may fail only with QbrenderError; what it accepts must be within the ranges the
// parameter or option declares.

#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "qbrender/effect_session.h"
#include "fuzz/fuzz_effects.h"
#include "fuzz/fuzz_input.h"
#include "qbrender/exr_header_check.h"
#include "qbrender/image_file.h"
#include "qbrender/options.h"
#include "qbrender/png_chunk_check.h"
#include "qbrender/qbrender_error.h"

namespace {

// Samples (file channels plus RGBA) of the largest image file read: 64 MB of floats.
constexpr double kMaxSamples = 16.0 * 1024 * 1024;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_parameters: %s\n", what.c_str());
    std::abort();
}

// Both effects stay loaded with their registered parameters; values are put back to the
// defaults after every input. Never destroyed, so the leak check at exit still finds them.
std::array<EffectSession*, 2>& sessions() {
    static std::array<EffectSession*, 2> both{};
    return both;
}

std::filesystem::path& imageFile() {
    static std::filesystem::path file;
    return file;
}

void resetValues(EffectSession& session) {
    ParameterStore& store = session.parameters();
    for (int p = 1; p < store.count(); ++p) store.takeValue(p, store.at(p).initial);
}

// A value that setFromText accepted is one the parameter can hold.
void checkValue(const HostParameter& p) {
    const PF_ParamDefUnion& u = p.def.u;
    const std::string name = "'" + p.name() + "'";
    switch (p.type()) {
        case PF_Param_POPUP:
            if (u.pd.value < 1 || u.pd.value > u.pd.num_choices) {
                fail(name + ": choice " + std::to_string(u.pd.value) + " accepted");
            }
            break;
        case PF_Param_CHECKBOX:
            if (u.bd.value != 0 && u.bd.value != 1) fail(name + ": checkbox value not 0 or 1");
            break;
        case PF_Param_SLIDER:
            if (u.sd.value < u.sd.valid_min || u.sd.value > u.sd.valid_max) {
                fail(name + ": slider value outside its valid range");
            }
            break;
        case PF_Param_FLOAT_SLIDER:
            if (!std::isfinite(u.fs_d.value) || u.fs_d.value < u.fs_d.valid_min ||
                u.fs_d.value > u.fs_d.valid_max) {
                fail(name + ": float slider value outside its valid range");
            }
            break;
        case PF_Param_FIX_SLIDER:
            if (u.fd.value < u.fd.valid_min || u.fd.value > u.fd.valid_max) {
                fail(name + ": fixed slider value outside its valid range");
            }
            break;
        case PF_Param_ANGLE:
            if (u.ad.valid_min < u.ad.valid_max &&
                (u.ad.value < u.ad.valid_min || u.ad.value > u.ad.valid_max)) {
                fail(name + ": angle outside its valid range");
            }
            break;
        default:
            break;
    }
}

void parseValue(FuzzInput& in) {
    const uint8_t pick = in.byte();
    EffectSession& session = *sessions()[pick & 1];
    ParameterStore& store = session.parameters();
    const int position = int(pick >> 1) % store.count();
    const std::string text = in.rest();
    try {
        store.setFromText(position, text);
    } catch (const QbrenderError&) {
        return;
    }
    checkValue(store.at(position));
    // Every value that was set reads back as text.
    if (store.valueText(position).empty())
        fail("'" + store.at(position).name() + "': no value text");
}

std::vector<std::string> arguments(const std::string& text) {
    std::vector<std::string> args;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t zero = text.find('\0', start);
        args.push_back(text.substr(start, zero == std::string::npos ? zero : zero - start));
        if (zero == std::string::npos) break;
        start = zero + 1;
    }
    return args;
}

void checkOptions(const Options& o) {
    if (o.help || !o.write_sample.empty()) return;
    if (o.effect.empty() && !o.list) fail("options accepted without an effect");
    if (o.bits && *o.bits != 8 && *o.bits != 16 && *o.bits != 32) fail("bits accepted");
    if (o.downsample < 1 || o.downsample > 256) fail("downsample accepted");
    if (o.threads && (*o.threads < 1 || *o.threads > 1024)) fail("threads accepted");
    if (o.frames && (o.frames->first < 0 || o.frames->last < o.frames->first)) {
        fail("frame range accepted");
    }
    if (o.size && (o.size->width < 1 || o.size->height < 1 || o.size->width > 16384 ||
                   o.size->height > 16384)) {
        fail("size accepted");
    }
    for (const auto* list : {&o.layers, &o.sets}) {
        for (const NamedValue& nv : *list) {
            if (nv.name.empty() || nv.value.empty() || nv.name.find('=') != std::string::npos) {
                fail("NAME=VALUE split into '" + nv.name + "' and '" + nv.value + "'");
            }
        }
    }
    if (o.frames && !o.output.empty()) {
        const std::string first = frameFileName(o.output, o.frames->first);
        const std::string last = frameFileName(o.output, o.frames->last);
        if (o.frames->count() > 1 && first == last) fail("frames share the file " + first);
    }
}

Options parseArguments(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return parseOptions(int(argv.size()), argv.data());
}

void parseCommandLine(FuzzInput& in) {
    std::vector<std::string> args = arguments(in.rest());
    args.insert(args.begin(), "qbrender");
    try {
        checkOptions(parseArguments(args));
    } catch (const QbrenderError&) {
    }
}

void applyCommandLine(FuzzInput& in) {
    const uint8_t pick = in.byte();
    EffectSession& session = *sessions()[pick & 1];
    std::vector<std::string> args = arguments(in.rest());
    args.insert(args.begin(), {"qbrender", (pick & 1) ? "evenblur" : "zblur"});
    try {
        const Options options = parseArguments(args);
        checkOptions(options);
        for (const NamedValue& layer : options.layers) {
            const int position = session.parameters().require(layer.name);
            if (position < 1 || position >= session.parameters().count()) {
                fail("layer name '" + layer.name + "' found at " + std::to_string(position));
            }
        }
        for (const NamedValue& set : options.sets) {
            session.setParameter(set.name, set.value);
            checkValue(session.parameters().at(session.parameters().require(set.name)));
        }
    } catch (const QbrenderError&) {
    }
    resetValues(session);
}

void readFile(FuzzInput& in) {
    const std::string bytes = in.rest();
    std::FILE* f = std::fopen(imageFile().c_str(), "wb");
    if (!f) fail("cannot write " + imageFile().string());
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    // A header may announce an image that fits the machine's memory but not the fuzzer's
    // limit; readImage then allocates it in full, as it should. Such files are skipped: the
    // refusal of sizes beyond the memory is tested with the other hostile files. The header
    // walk comes first, as in readImage: opening an EXR whose attribute size is damaged makes
    // the reader allocate up to 2 GiB before it finds the end of the file (and a PNG whose
    // chunk length is damaged makes it allocate and fill as much).
    const bool refused = !exrHeadersAreWhole(imageFile()) || !pngChunksAreWhole(imageFile());
    if (refused) {
        // readImage must refuse the file without opening it (checked below).
    } else if (auto header = OIIO::ImageInput::open(imageFile().string())) {
        const OIIO::ImageSpec& spec = header->spec();
        const double samples =
            double(spec.width) * double(spec.height) * (double(std::max(spec.nchannels, 0)) + 4.0);
        header->close();
        OIIO::geterror();
        if (samples > kMaxSamples) return;
    } else {
        OIIO::geterror();
    }
    try {
        const Image image = readImage(imageFile());
        if (refused) fail("a file with a damaged header was read");
        if (image.width() < 1 || image.height() < 1) fail("an empty image was read");
        if (image.hasZ() && image.z().size() != size_t(image.width()) * size_t(image.height())) {
            fail("depth plane of the wrong size");
        }
    } catch (const QbrenderError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Released only by the process's end: the sessions hold the loaded effects.
    sessions()[0] = new EffectSession(pinnedEffect("zblur"));
    sessions()[1] = new EffectSession(pinnedEffect("evenblur"));
    const char* tmp = std::getenv("TMPDIR");
    imageFile() = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
                  ("fuzz_parameters_" + std::to_string(::getpid()) + ".img");
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove(imageFile(), ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    try {
        switch (in.byte() % 4) {
            case 0:
                parseValue(in);
                break;
            case 1:
                parseCommandLine(in);
                break;
            case 2:
                readFile(in);
                break;
            default:
                applyCommandLine(in);
                break;
        }
    } catch (const std::exception& e) {
        fail(std::string("unexpected exception: ") + e.what());
    }
    for (EffectSession* session : sessions()) resetValues(*session);
    return 0;
}
