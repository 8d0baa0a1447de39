#include "qbrender/channel_choice.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "qbrender/qbrender_error.h"

namespace {

struct Layer {
    int part = 0;
    std::string name;  // "" for the unnamed layer
    // Channel names without the layer prefix ("R", "Z") -> index into the part's channels, in
    // file order.
    std::vector<std::pair<std::string, int>> channels;

    int find(const std::string& short_name) const {
        for (const auto& [n, index] : channels) {
            if (n == short_name) return index;
        }
        return -1;
    }
    // "ViewLayer.Combined" -> "Combined"; "" stays "".
    std::string lastComponent() const { return name.substr(name.find_last_of('.') + 1); }
    // "ViewLayer.Combined" -> "ViewLayer."; a one-component name has the prefix "".
    std::string prefix() const {
        const size_t dot = name.find_last_of('.');
        return dot == std::string::npos ? std::string() : name.substr(0, dot + 1);
    }
};

struct Files {
    const std::vector<FilePart>& parts;
    const std::string& file;
    std::vector<Layer> layers;  // of the parts searched, in file order

    bool multiPart() const { return parts.size() > 1; }

    std::string partLabel(int part) const {
        const std::string& name = parts[size_t(part)].name;
        return "part " + std::to_string(part) + (name.empty() ? "" : " '" + name + "'");
    }
    std::string layerLabel(const Layer& layer) const {
        std::string label = layer.name.empty() ? "(unnamed)" : layer.name;
        if (multiPart()) label += " in " + partLabel(layer.part);
        return label;
    }
    std::string channelLabel(ChannelRef ref) const {
        std::string label = parts[size_t(ref.part)].channels[size_t(ref.index)];
        if (multiPart()) label += " (" + partLabel(ref.part) + ")";
        return label;
    }
    // "layers: (unnamed) [Z], ViewLayer.Combined [R G B A], ..."
    std::string listing() const {
        std::string text = "layers: ";
        for (size_t i = 0; i < layers.size(); ++i) {
            if (i > 0) text += ", ";
            text += layerLabel(layers[i]) + " [";
            for (size_t c = 0; c < layers[i].channels.size(); ++c) {
                text += (c > 0 ? " " : "") + layers[i].channels[c].first;
            }
            text += "]";
        }
        return text;
    }
    QbrenderError error(const std::string& why) const {
        return QbrenderError("cannot read '" + file + "': " + why + " (" + listing() + ")");
    }
};

bool sameText(const std::string& a, const char* b) {
    const std::string lower_b = b;
    return a.size() == lower_b.size() &&
           std::equal(a.begin(), a.end(), lower_b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::vector<Layer> layersOf(const std::vector<FilePart>& parts, int only_part) {
    std::vector<Layer> layers;
    for (int p = 0; p < int(parts.size()); ++p) {
        if (only_part >= 0 && p != only_part) continue;
        std::map<std::string, size_t> by_name;
        for (int c = 0; c < int(parts[size_t(p)].channels.size()); ++c) {
            const std::string& full = parts[size_t(p)].channels[size_t(c)];
            const size_t dot = full.find_last_of('.');
            const std::string layer = dot == std::string::npos ? "" : full.substr(0, dot);
            const std::string short_name = dot == std::string::npos ? full : full.substr(dot + 1);
            auto [at, added] = by_name.emplace(layer, layers.size());
            if (added) layers.push_back(Layer{p, layer, {}});
            layers[at->second].channels.emplace_back(short_name, c);
        }
    }
    return layers;
}

// The colour channels of a layer: R, G, B; else a gray Y; else, in the unnamed layer only, the
// first three (or the first) channels that are neither alpha nor Z, as single-layer files of
// other tools name them; else, when the layer was named on purpose (`chosen`), its only channel
// as gray (a mist pass as a depth layer). False when the layer holds no colour.
bool colourOf(const Layer& layer, ChannelRef rgb[3], bool chosen = false) {
    const int r = layer.find("R"), g = layer.find("G"), b = layer.find("B");
    if (r >= 0 && g >= 0 && b >= 0) {
        rgb[0] = {layer.part, r};
        rgb[1] = {layer.part, g};
        rgb[2] = {layer.part, b};
        return true;
    }
    int gray = layer.find("Y");
    std::vector<int> other;
    if (gray < 0 && layer.name.empty()) {
        for (const auto& [n, index] : layer.channels) {
            if (n != "A" && n != "Z") other.push_back(index);
        }
        if (other.size() >= 3) {
            for (int i = 0; i < 3; ++i) rgb[i] = {layer.part, other[size_t(i)]};
            return true;
        }
        if (!other.empty()) gray = other.front();
    }
    if (gray < 0 && chosen && layer.channels.size() == 1) gray = layer.channels.front().second;
    if (gray < 0) return false;
    rgb[0] = rgb[1] = rgb[2] = {layer.part, gray};
    return true;
}

bool hasColour(const Layer& layer, bool chosen = false) {
    ChannelRef unused[3];
    return colourOf(layer, unused, chosen);
}

// Several candidates: keep those of the colour's part, then those that share the colour
// layer's prefix. What remains may still be several.
std::vector<const Layer*> preferNear(std::vector<const Layer*> found, const Layer& colour) {
    const auto keep = [&found](auto predicate) {
        std::vector<const Layer*> kept;
        std::copy_if(found.begin(), found.end(), std::back_inserter(kept), predicate);
        if (!kept.empty()) found = kept;
    };
    if (found.size() > 1) keep([&](const Layer* l) { return l->part == colour.part; });
    if (found.size() > 1) {
        keep([&](const Layer* l) {
            return l->part == colour.part && l->prefix() == colour.prefix();
        });
    }
    return found;
}

std::string names(const Files& files, const std::vector<const Layer*>& layers) {
    std::string text;
    for (const Layer* l : layers) text += (text.empty() ? "" : ", ") + files.layerLabel(*l);
    return text;
}

std::vector<const Layer*> layersNamed(const Files& files, const std::string& name) {
    std::vector<const Layer*> found;
    for (const Layer& l : files.layers) {
        if (!l.name.empty() && l.name == name) found.push_back(&l);
    }
    if (found.empty()) {
        for (const Layer& l : files.layers) {
            if (!l.name.empty() && l.lastComponent() == name) found.push_back(&l);
        }
    }
    return found;
}

const Layer& chooseColour(const Files& files, const ChannelRequest& request) {
    std::vector<const Layer*> found;
    if (!request.layer.empty()) {
        for (const Layer* l : layersNamed(files, request.layer)) {
            if (hasColour(*l, true)) found.push_back(l);
        }
        if (found.empty()) {
            throw files.error("--channels '" + request.layer +
                              "': no layer of that name with colour channels or one channel");
        }
        if (found.size() > 1) {
            throw files.error("--channels '" + request.layer + "' names " +
                              std::to_string(found.size()) + " layers: " + names(files, found) +
                              "; give the full name" + (files.multiPart() ? " or --part" : ""));
        }
        return *found.front();
    }
    const char* const rule[] = {"one unnamed layer per part", "each named 'Combined'",
                                "and none is unnamed or named 'Combined'"};
    for (int step = 0; step < 3; ++step) {
        found.clear();
        for (const Layer& l : files.layers) {
            const bool fits = step == 0 ? l.name.empty()
                              : step == 1
                                  ? !l.name.empty() && sameText(l.lastComponent(), "Combined")
                                  : true;
            if (fits && hasColour(l)) found.push_back(&l);
        }
        if (found.size() == 1) return *found.front();
        if (found.size() > 1) {
            throw files.error(std::string("more than one layer could be the colour, ") +
                              rule[step] + ": " + names(files, found) +
                              "; choose one with --channels LAYER" +
                              (files.multiPart() ? " or --part N" : ""));
        }
    }
    throw files.error("no colour channels (R, G, B or Y) in any layer");
}

// The depth channel of a layer: Z, or its only channel.
int depthIndexOf(const Layer& layer) {
    const int z = layer.find("Z");
    if (z >= 0) return z;
    return layer.channels.size() == 1 ? layer.channels.front().second : -1;
}

ChannelRef chooseDepth(const Files& files, const ChannelRequest& request, const Layer& colour,
                       std::string* note) {
    std::vector<const Layer*> found;
    if (!request.depth.empty()) {
        // A full channel name first, then a layer name.
        std::vector<ChannelRef> exact;
        for (const Layer& l : files.layers) {
            for (const auto& [n, index] : l.channels) {
                if (files.parts[size_t(l.part)].channels[size_t(index)] == request.depth) {
                    exact.push_back({l.part, index});
                }
            }
        }
        if (exact.size() > 1) {
            std::vector<ChannelRef> same_part;
            for (ChannelRef r : exact) {
                if (r.part == colour.part) same_part.push_back(r);
            }
            if (same_part.size() == 1) exact = same_part;
        }
        if (exact.size() == 1) return exact.front();
        if (exact.size() > 1) {
            throw files.error("--depth-channel '" + request.depth + "' is in " +
                              std::to_string(exact.size()) + " parts; choose one with --part");
        }
        for (const Layer* l : layersNamed(files, request.depth)) {
            if (depthIndexOf(*l) >= 0) found.push_back(l);
        }
        found = preferNear(found, colour);
        if (found.empty()) {
            throw files.error("--depth-channel '" + request.depth +
                              "': no channel of that name, nor a layer with a Z or only channel");
        }
        if (found.size() > 1) {
            throw files.error("--depth-channel '" + request.depth + "' names " +
                              std::to_string(found.size()) + " layers: " + names(files, found) +
                              "; give the full channel name");
        }
        return {found.front()->part, depthIndexOf(*found.front())};
    }
    for (int step = 0; step < 2; ++step) {
        found.clear();
        for (const Layer& l : files.layers) {
            if (step == 0 && l.name.empty() && l.find("Z") >= 0) found.push_back(&l);
            if (step == 1 && !l.name.empty() && sameText(l.lastComponent(), "Depth") &&
                depthIndexOf(l) >= 0) {
                found.push_back(&l);
            }
        }
        found = preferNear(found, colour);
        if (found.size() == 1) {
            const Layer& l = *found.front();
            return {l.part, step == 0 ? l.find("Z") : depthIndexOf(l)};
        }
        if (found.size() > 1) {
            throw files.error("more than one layer could be the depth: " + names(files, found) +
                              "; choose one with --depth-channel NAME");
        }
    }
    // None found. Layers of a single Z channel (a mist pass, a denoising depth) are depth of
    // another kind; say that they were left alone, so that a missing depth is not a surprise.
    std::string others;
    for (const Layer& l : files.layers) {
        if (l.channels.size() == 1 && l.channels.front().first == "Z") {
            others += (others.empty() ? "" : ", ") +
                      files.channelLabel({l.part, l.channels.front().second});
        }
    }
    if (!others.empty()) {
        *note = "'" + files.file + "' has no Z channel and no Depth layer, so no depth; " +
                "not taken: " + others + " (choose one with --depth-channel NAME)";
    }
    return {};
}

int partIndex(const std::vector<FilePart>& parts, const std::string& request,
              const std::string& file) {
    int number = -1;
    const char* end = request.data() + request.size();
    const auto [ptr, ec] = std::from_chars(request.data(), end, number);
    if (ec == std::errc() && ptr == end && number >= 0 && number < int(parts.size())) {
        return number;
    }
    std::string list;
    for (size_t p = 0; p < parts.size(); ++p) {
        if (parts[p].name == request) return int(p);
        list += (p > 0 ? ", " : "") + std::to_string(p) +
                (parts[p].name.empty() ? "" : " '" + parts[p].name + "'");
    }
    throw QbrenderError("cannot read '" + file + "': --part '" + request + "': the file has " +
                        std::to_string(parts.size()) + (parts.size() == 1 ? " part" : " parts") +
                        " (" + list + ")");
}

}  // namespace

ChannelSelection chooseChannels(const std::vector<FilePart>& parts, const ChannelRequest& request,
                                const std::string& file) {
    const int only_part = request.part.empty() ? -1 : partIndex(parts, request.part, file);
    Files files{parts, file, layersOf(parts, only_part)};
    const Layer& colour = chooseColour(files, request);

    ChannelSelection selection;
    colourOf(colour, selection.rgb, !request.layer.empty());
    const int alpha = colour.find("A");
    if (alpha >= 0) selection.alpha = {colour.part, alpha};
    selection.z = chooseDepth(files, request, colour, &selection.note);

    const auto& channels = parts[size_t(colour.part)].channels;
    if (selection.rgb[0].index == selection.rgb[1].index) {
        selection.description = "gray " + channels[size_t(selection.rgb[0].index)];
    } else {
        selection.description = "colour " + channels[size_t(selection.rgb[0].index)] + "," +
                                channels[size_t(selection.rgb[1].index)] + "," +
                                channels[size_t(selection.rgb[2].index)];
    }
    if (files.multiPart()) selection.description += " (" + files.partLabel(colour.part) + ")";
    selection.description +=
        ", alpha " + (selection.alpha.valid() ? files.channelLabel(selection.alpha) : "none");
    selection.description +=
        ", depth " + (selection.z.valid() ? files.channelLabel(selection.z) : "none");
    return selection;
}
