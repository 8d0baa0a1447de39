#pragma once

#include <string>
#include <vector>

// Which channels of an image file hold colour, alpha and depth, chosen by their names the way
// compositing tools read multi-layer files. A channel name "ViewLayer.Combined.R" is channel R
// of the layer "ViewLayer.Combined"; a name without a dot ("R", "Z") belongs to the unnamed
// layer. Multi-part files are searched part by part; a layer is identified by its part and its
// name.
//
// Colour and alpha come from one layer: the one named by --channels (its full name or its last
// component, "Combined"), else the unnamed layer, else the layer whose last component is
// "Combined", else the only layer with R, G and B (a layer named by --channels may also be a
// single channel, read as gray: a mist pass as a depth layer). Depth is the unnamed layer's Z channel, else
// the Z (or only) channel of the layer whose last component is "Depth", or the channel named by
// --depth-channel. Where more than one candidate remains after preferring the colour's part and
// its layer prefix ("ViewLayer."), the choice is refused with a message that lists the layers:
// it is never guessed.

// The channel names of one part of a file, in file order.
struct FilePart {
    std::string name;  // empty when the file does not name its parts
    std::vector<std::string> channels;
};

// What the command line asked for; empty strings choose automatically.
struct ChannelRequest {
    std::string layer;  // --channels: colour and alpha
    std::string depth;  // --depth-channel: a channel name, or a layer with a Z or only channel
    std::string part;   // --part: a part number (from 0) or a part name
};

struct ChannelRef {
    int part = -1;
    int index = -1;  // into FilePart::channels
    bool valid() const { return index >= 0; }
};

struct ChannelSelection {
    // Red, green, blue; all three the same channel for a gray layer.
    ChannelRef rgb[3];
    ChannelRef alpha;  // invalid: full alpha
    ChannelRef z;      // invalid: no depth plane
    // "colour ViewLayer.Combined.R,G,B, alpha ViewLayer.Combined.A, depth ViewLayer.Depth.Z".
    std::string description;
    // Non-empty when the file holds depth-like channels that were not taken (a Mist pass
    // without a Depth layer): one line for stderr.
    std::string note;
};

// Throws QbrenderError (exit status 1) "cannot read '<file>': ..." when the request names
// nothing in the file, when no colour channels exist, or when the choice is ambiguous; the
// message lists the file's layers.
ChannelSelection chooseChannels(const std::vector<FilePart>& parts, const ChannelRequest& request,
                                const std::string& file);
