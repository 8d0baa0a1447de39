#include "qbrender/options.h"

#include <charconv>
#include <functional>
#include <string_view>

#include "qbrender/qbrender_error.h"

// The build sets the plug-in folder of its tree (qbrender/CMakeLists.txt).
#ifndef QB_PLUGIN_DIR
#error "QB_PLUGIN_DIR must name the default plug-in folder"
#endif

namespace {

QbrenderError usageError(const std::string& message) {
    return QbrenderError(message + " (see qbrender --help)");
}

bool parseInt(std::string_view text, int* value) {
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end;
}

int parseIntIn(const std::string& option, const std::string& text, int low, int high) {
    int value = 0;
    if (!parseInt(text, &value) || value < low || value > high) {
        throw usageError("option '" + option + "': '" + text + "' is not a whole number from " +
                         std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

NamedValue parseNamedValue(const std::string& option, const std::string& text, const char* what) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        throw usageError("option '" + option + "': '" + text + "' is not NAME=" + what);
    }
    NamedValue pair{text.substr(0, eq), text.substr(eq + 1)};
    if (pair.name.empty()) {
        throw usageError("option '" + option + "': '" + text + "' has no parameter name");
    }
    if (pair.value.empty()) {
        throw usageError("option '" + option + "': '" + text + "' has no " + what);
    }
    return pair;
}

FrameRange parseFrames(const std::string& option, const std::string& text) {
    FrameRange range;
    const size_t dash = text.find('-');
    const bool ok = dash == std::string::npos
                        ? parseInt(text, &range.first) && (range.last = range.first, true)
                        : parseInt(std::string_view(text).substr(0, dash), &range.first) &&
                              parseInt(std::string_view(text).substr(dash + 1), &range.last);
    if (!ok || range.first < 0 || range.last < 0) {
        throw usageError("option '" + option + "': '" + text +
                         "' is not a frame range A-B (or one frame N)");
    }
    if (range.last < range.first) {
        throw usageError("option '" + option + "': range '" + text + "' ends before it starts");
    }
    return range;
}

FrameSize parseSize(const std::string& option, const std::string& text) {
    const size_t x = text.find_first_of("xX");
    FrameSize size;
    if (x == std::string::npos || !parseInt(std::string_view(text).substr(0, x), &size.width) ||
        !parseInt(std::string_view(text).substr(x + 1), &size.height)) {
        throw usageError("option '" + option + "': '" + text + "' is not a size WxH");
    }
    if (size.width < 1 || size.height < 1 || size.width > 16384 || size.height > 16384) {
        throw usageError("option '" + option + "': size '" + text +
                         "' is not within 1x1 .. 16384x16384");
    }
    return size;
}

// "[NAME=]VALUE": for the --layer NAME's file, or for the input without NAME=.
NamedValue parseFileChoice(const std::string& option, const std::string& text) {
    const size_t eq = text.find('=');
    NamedValue choice = eq == std::string::npos
                            ? NamedValue{"", text}
                            : NamedValue{text.substr(0, eq), text.substr(eq + 1)};
    if (choice.value.empty()) {
        throw usageError("option '" + option + "': '" + text + "' names no channel, layer or part");
    }
    if (eq != std::string::npos && choice.name.empty()) {
        throw usageError("option '" + option + "': '" + text + "' has no layer parameter name");
    }
    return choice;
}

struct OptionSpec {
    const char* long_name;
    const char* short_name;  // or nullptr
    const char* argument;    // nullptr for a switch
    const char* help;
    std::function<void(Options&, const std::string& option, const std::string& value)> apply;
};

// Every option, in --help order. New options (such as switches that make the host fail on
// purpose to test the effects' error paths) are one more entry here, and show in --help.
const std::vector<OptionSpec>& optionTable() {
    static const std::vector<OptionSpec> table = {
        {"--input", "-i", "FILE", "the effect's input layer; without it, the built-in sample scene",
         [](Options& o, const std::string&, const std::string& v) { o.input = v; }},
        {"--output", "-o", "FILE",
         "output image, format from the extension (.exr .png .tif .tiff .jpg .jpeg)",
         [](Options& o, const std::string&, const std::string& v) { o.output = v; }},
        {"--layer", nullptr, "NAME=FILE", "connect the layer parameter NAME to an image file",
         [](Options& o, const std::string& n, const std::string& v) {
             o.layers.push_back(parseNamedValue(n, v, "FILE"));
         }},
        {"--set", nullptr, "NAME=VALUE",
         "set a parameter: choice text or number, on/off, degrees, r,g,b, x,y or a number",
         [](Options& o, const std::string& n, const std::string& v) {
             o.sets.push_back(parseNamedValue(n, v, "VALUE"));
         }},
        {"--click", nullptr, "NAME",
         "after --set, report NAME as changed by the user and print the values the effect changed",
         [](Options& o, const std::string& n, const std::string& v) {
             if (v.empty()) {
                 throw usageError("option '" + n + "' needs a parameter name");
             }
             o.clicks.push_back(v);
         }},
        {"--bits", nullptr, "8|16|32", "project depth (default: the input file's)",
         [](Options& o, const std::string& n, const std::string& v) {
             if (v != "8" && v != "16" && v != "32") {
                 throw usageError("option '" + n + "': '" + v + "' is not 8, 16 or 32");
             }
             o.bits = std::stoi(v);
         }},
        {"--downsample", nullptr, "N", "render at 1/N resolution",
         [](Options& o, const std::string& n, const std::string& v) {
             o.downsample = parseIntIn(n, v, 1, 256);
         }},
        {"--classic", nullptr, nullptr, "classic render instead of smart render",
         [](Options& o, const std::string&, const std::string&) { o.classic = true; }},
        {"--threads", nullptr, "N", "processors reported to the plug-in (default: the machine's)",
         [](Options& o, const std::string& n, const std::string& v) {
             o.threads = parseIntIn(n, v, 1, 1024);
         }},
        {"--frames", nullptr, "A-B", "render frames A to B; #### in file names is the frame number",
         [](Options& o, const std::string& n, const std::string& v) {
             o.frames = parseFrames(n, v);
         }},
        {"--list-params", nullptr, nullptr, "print the effect's parameter table",
         [](Options& o, const std::string&, const std::string&) { o.list_params = true; }},
        {"--about", nullptr, nullptr, "print the effect's about text",
         [](Options& o, const std::string&, const std::string&) { o.about = true; }},
        {"--ui", nullptr, nullptr,
         "print the enabled state of every control after a parameter-UI update",
         [](Options& o, const std::string&, const std::string&) { o.ui = true; }},
        {"--timing", nullptr, nullptr,
         "print the effect's time in the render commands, the host's overhead, progress calls, "
         "cancel latency",
         [](Options& o, const std::string&, const std::string&) { o.timing = true; }},
        {"--quiet", nullptr, nullptr, "no progress bar",
         [](Options& o, const std::string&, const std::string&) { o.quiet = true; }},
        {"--size", nullptr, "WxH", "size of the sample scene (default 1280x720)",
         [](Options& o, const std::string& n, const std::string& v) { o.size = parseSize(n, v); }},
        {"--write-sample", nullptr, "DIR", "write the sample scene to DIR as image files",
         [](Options& o, const std::string& n, const std::string& v) {
             if (v.empty()) {
                 throw usageError("option '" + n + "' needs a folder");
             }
             o.write_sample = v;
         }},
        {"--depth-double", nullptr, nullptr,
         "hand the EXR Z channel to the plug-in as doubles instead of floats",
         [](Options& o, const std::string&, const std::string&) { o.depth_double = true; }},
        {"--list", nullptr, nullptr, "list the effects found in the plug-in folder",
         [](Options& o, const std::string&, const std::string&) { o.list = true; }},
        {"--plugins", nullptr, "DIR", "plug-in folder (default: this build's)",
         [](Options& o, const std::string& n, const std::string& v) {
             if (v.empty()) {
                 throw usageError("option '" + n + "' needs a folder");
             }
             o.plugin_dir = v;
         }},
        {"--cancel-after", nullptr, "N",
         "testing: report a cancel from the N-th progress call of a frame on",
         [](Options& o, const std::string& n, const std::string& v) {
             o.cancel_after = parseIntIn(n, v, 1, 1000000000);
         }},
        {"--fail-allocation", nullptr, "N",
         "testing: refuse memory from the N-th allocation of a frame on",
         [](Options& o, const std::string& n, const std::string& v) {
             o.fail_allocation = uint64_t(parseIntIn(n, v, 1, 1000000000));
         }},
        {"--deny-suite", nullptr, "NAME",
         "testing: the basic suite refuses the suite NAME, e.g. \"PF World Suite\" (repeatable)",
         [](Options& o, const std::string& n, const std::string& v) {
             if (v.empty()) {
                 throw usageError("option '" + n + "' needs a suite name");
             }
             o.deny_suites.push_back(v);
         }},
        {"--fail-checkout", nullptr, "NAME",
         "testing: checking out layer NAME (or \"input\") fails with out of memory (repeatable)",
         [](Options& o, const std::string& n, const std::string& v) {
             if (v.empty()) {
                 throw usageError("option '" + n + "' needs a layer parameter name");
             }
             o.fail_checkouts.push_back(v);
         }},
        {"--memory-limit", nullptr, "MB",
         "memory the plug-in may hold in host handles (default: what the machine has free)",
         [](Options& o, const std::string& n, const std::string& v) {
             o.memory_limit_mb = uint64_t(parseIntIn(n, v, 1, 1000000000));
         }},
        // Channels of multi-layer files and the output file.
        {"--channels", nullptr, "[NAME=]LAYER",
         "colour and alpha from the file's layer LAYER (of --layer NAME's file with NAME=)",
         [](Options& o, const std::string& n, const std::string& v) {
             o.channel_layers.push_back(parseFileChoice(n, v));
         }},
        {"--depth-channel", nullptr, "[NAME=]CHANNEL",
         "depth from the channel CHANNEL, or a layer's Z channel (of --layer NAME's file)",
         [](Options& o, const std::string& n, const std::string& v) {
             o.depth_channels.push_back(parseFileChoice(n, v));
         }},
        {"--part", nullptr, "[NAME=]N|PART",
         "read only part N (from 0) or the part named PART of a multi-part file",
         [](Options& o, const std::string& n, const std::string& v) {
             o.parts.push_back(parseFileChoice(n, v));
         }},
        {"--half", nullptr, nullptr, "EXR output: colour and alpha as half floats",
         [](Options& o, const std::string&, const std::string&) { o.half = true; }},
        {"--verbose", nullptr, nullptr, "say which channels of each file were used",
         [](Options& o, const std::string&, const std::string&) { o.verbose = true; }},
        {"--help", "-h", nullptr, "print this help",
         [](Options& o, const std::string&, const std::string&) { o.help = true; }},
    };
    return table;
}

const OptionSpec* findOption(std::string_view name) {
    for (const OptionSpec& spec : optionTable()) {
        if (name == spec.long_name || (spec.short_name && name == spec.short_name)) {
            return &spec;
        }
    }
    return nullptr;
}

// Options that may be given once only: a second value would silently replace the first.
bool singleValued(const OptionSpec& spec) {
    const std::string_view name = spec.long_name;
    return spec.argument && name != "--layer" && name != "--set" && name != "--click" &&
           name != "--deny-suite" && name != "--fail-checkout" && name != "--channels" &&
           name != "--depth-channel" && name != "--part";
}

}  // namespace

std::string defaultPluginDir() { return QB_PLUGIN_DIR; }

Options parseOptions(int argc, const char* const* argv) {
    Options options;
    options.plugin_dir = defaultPluginDir();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            break;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        }
    }

    std::vector<const OptionSpec*> seen;
    bool only_positional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (only_positional || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!options.effect.empty()) {
                throw usageError("unexpected argument '" + arg + "' after the effect '" +
                                 options.effect + "'");
            }
            if (arg.empty()) {
                throw usageError("the effect name is empty");
            }
            options.effect = arg;
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const OptionSpec* spec = findOption(name);
        if (!spec) {
            throw usageError("unknown option '" + name + "'");
        }
        if (!spec->argument && value) {
            throw usageError("option '" + name + "' takes no value");
        }
        if (spec->argument && !value) {
            if (i + 1 >= argc) {
                throw usageError("option '" + name + "' needs a value: " + spec->argument);
            }
            value = argv[++i];
        }
        if (singleValued(*spec)) {
            for (const OptionSpec* earlier : seen) {
                if (earlier == spec) {
                    throw usageError("option '" + std::string(spec->long_name) +
                                     "' is given more than once");
                }
            }
        }
        seen.push_back(spec);
        spec->apply(options, name, value.value_or(std::string()));
    }

    if (!options.write_sample.empty()) {
        if (!options.effect.empty()) {
            throw usageError("--write-sample only writes the sample scene; give no effect ('" +
                             options.effect + "') with it");
        }
        return options;
    }
    if (options.effect.empty() && !options.list) {
        throw usageError("no effect given: zblur, evenblur, a match name or a library path");
    }
    if (options.size && !options.input.empty()) {
        throw usageError(
            "--size sets the size of the sample scene and cannot be used with --input '" +
            options.input + "'");
    }
    if (options.frames && options.frames->count() > 1 && !options.output.empty() &&
        options.output.find('#') == std::string::npos) {
        throw usageError("--frames renders " + std::to_string(options.frames->count()) +
                         " frames but the output '" + options.output +
                         "' has no #### for the frame number");
    }
    return options;
}

std::string helpText() {
    std::string text =
        "usage: qbrender EFFECT [options]\n"
        "       qbrender --write-sample DIR [--size WxH]\n"
        "       qbrender --list [--plugins DIR]\n"
        "EFFECT: zblur | evenblur | a match name | a library path\n"
        "\n"
        "options:\n";
    for (const OptionSpec& spec : optionTable()) {
        std::string left = "  ";
        left += spec.short_name ? std::string(spec.short_name) + ", " : std::string("    ");
        left += spec.long_name;
        if (spec.argument) {
            left += std::string(" ") + spec.argument;
        }
        if (left.size() < 30) {
            left.resize(30, ' ');
        } else {
            left += "  ";
        }
        text += left + spec.help + "\n";
    }
    text +=
        "\n"
        "exit status: 0 done; 1 bad usage or input; 2 the effect failed; 3 cancelled.\n"
        "Queries alone render nothing; no partial output file is left behind on any failure.\n";
    return text;
}

std::string frameFileName(const std::string& pattern, int frame) {
    const size_t last = pattern.find_last_of('#');
    if (last == std::string::npos) {
        return pattern;
    }
    size_t first = last;
    while (first > 0 && pattern[first - 1] == '#') {
        --first;
    }
    const size_t width = last - first + 1;
    std::string digits = std::to_string(frame < 0 ? -static_cast<long long>(frame) : frame);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), '0');
    }
    if (frame < 0) {
        digits.insert(0, 1, '-');
    }
    return pattern.substr(0, first) + digits + pattern.substr(last + 1);
}
