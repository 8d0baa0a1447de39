#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The qbrender command line.
//
//   qbrender EFFECT [options]           render (or query) an effect
//   qbrender --write-sample DIR         write the built-in sample scene as files
//   qbrender --list                     list the effects in the plug-in folder
//
// Parameter names are only collected here; they are checked against the parameters the effect
// registers once it is loaded.

struct NamedValue {
    std::string name;
    std::string value;
};

struct FrameRange {
    int first = 0;
    int last = 0;
    int count() const { return last - first + 1; }
};

struct FrameSize {
    int width = 0;
    int height = 0;
};

struct Options {
    // zblur | evenblur | a match name | a library path; empty with --help, --write-sample, --list.
    std::string effect;
    // The effect's input layer; empty means the built-in sample scene.
    std::string input;
    // Empty means no file is written.
    std::string output;
    // --layer "NAME=FILE", --set "NAME=VALUE" and --click "NAME", each in command-line order.
    // Names are kept exactly as given (some registered names end in a blank).
    std::vector<NamedValue> layers;
    std::vector<NamedValue> sets;
    std::vector<std::string> clicks;
    // Project depth 8, 16 or 32; unset means the input file's depth.
    std::optional<int> bits;
    int downsample = 1;
    bool classic = false;
    // Processors reported to the plug-in; unset means the machine's.
    std::optional<int> threads;
    std::optional<FrameRange> frames;
    bool list_params = false;
    bool about = false;
    bool ui = false;
    bool timing = false;
    bool quiet = false;
    bool help = false;
    bool list = false;
    // Hand the EXR Z channel to the plug-in as doubles ('DBL8') instead of floats ('FLT4').
    bool depth_double = false;
    // Size of the sample scene; unset means 1280x720.
    std::optional<FrameSize> size;
    // Folder for --write-sample; empty when not asked for.
    std::string write_sample;
    // Folder searched for plug-in libraries.
    std::string plugin_dir;
    // Fault injection, to see how an effect copes: the host's progress callback answers
    // "cancelled" from its n-th call of each frame on (0 = never), and host memory is refused
    // from the n-th allocation of each frame on (0 = never).
    int64_t cancel_after = 0;
    uint64_t fail_allocation = 0;
    // Suites the host's basic suite refuses, by name ("PF World Suite", ...), and layer
    // parameters whose checkouts fail (by registered name; "input" for the input layer).
    std::vector<std::string> deny_suites;
    std::vector<std::string> fail_checkouts;
    // Megabytes (2^20 bytes) the effect may hold in host memory handles at once; 0 means the
    // default, taken from the machine's free memory (see machineHandleMemory).
    uint64_t memory_limit_mb = 0;

    // Channels of multi-layer and multi-part files, and the output file. --channels,
    // --depth-channel and --part as given, in order: the name is empty for the input, else the
    // --layer NAME the value is for ("depth layer=Mist").
    std::vector<NamedValue> channel_layers;
    std::vector<NamedValue> depth_channels;
    std::vector<NamedValue> parts;
    // EXR output colour and alpha as half floats.
    bool half = false;
    // Say which channels of each file were used.
    bool verbose = false;
};

// The plug-in folder of the build tree qbrender was built in.
std::string defaultPluginDir();

// Parses argv[1 ..]. Throws QbrenderError (exit status 1) with one line naming the option or
// value that is wrong. With -h or --help anywhere before "--" the rest is not checked.
Options parseOptions(int argc, const char* const* argv);

// The --help text: usage, then every option with a one-line description, then exit statuses.
std::string helpText();

// `pattern` with its last run of '#' replaced by the frame number, zero-padded to the run's
// length ("out_####.png", 7 -> "out_0007.png"; a negative frame keeps its sign). Without '#'
// the pattern is returned unchanged.
std::string frameFileName(const std::string& pattern, int frame);
