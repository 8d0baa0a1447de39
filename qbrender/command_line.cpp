#include "qbrender/command_line.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "qbrender/effect_session.h"
#include "qbrender/host_names.h"
#include "qbrender/image_file.h"
#include "qbrender/interrupt_flag.h"
#include "qbrender/options.h"
#include "qbrender/plugin_library.h"
#include "qbrender/progress_bar.h"
#include "qbrender/qbrender_error.h"
#include "qbrender/sample_scene.h"

namespace {

SampleDepth depthOfBits(int bits) {
    return bits == 8 ? SampleDepth::bits8 : bits == 16 ? SampleDepth::bits16 : SampleDepth::float32;
}

// ---- Image files: channels chosen by name, no silent loss of precision ----

// A layer from a file, read with its channel choice: a name with '#' is read per frame; the
// first frame is read now, so that a bad file stops the run before the effect is loaded.
std::shared_ptr<LayerSource> layerFromFile(const std::string& file, int first_frame,
                                           const ChannelRequest& request) {
    std::shared_ptr<LayerSource> source = LayerSource::fromFile(file, request);
    source->frame(first_frame);
    return source;
}

// --channels, --depth-channel and --part for the input (`target` empty) or for the file of
// --layer `target`.
ChannelRequest channelRequest(const Options& options, const std::string& target) {
    ChannelRequest request;
    const auto take = [&](const std::vector<NamedValue>& given, const char* option,
                          std::string* value) {
        for (const NamedValue& v : given) {
            if (v.name != target) continue;
            if (!value->empty()) {
                throw QbrenderError(std::string("option '") + option + "' is given twice for " +
                                    (target.empty() ? "the input" : "layer '" + target + "'"));
            }
            *value = v.value;
        }
    };
    take(options.channel_layers, "--channels", &request.layer);
    take(options.depth_channels, "--depth-channel", &request.depth);
    take(options.parts, "--part", &request.part);
    return request;
}

// Every NAME= of --channels, --depth-channel and --part must be a --layer NAME, and without
// NAME= they need an input file.
void checkChannelTargets(const Options& options) {
    for (const auto* given : {&options.channel_layers, &options.depth_channels, &options.parts}) {
        for (const NamedValue& v : *given) {
            if (v.name.empty()) {
                if (options.input.empty()) {
                    throw QbrenderError("'" + v.value +
                                        "': a channel or part choice without NAME= is for the "
                                        "input file, and there is no --input");
                }
                continue;
            }
            bool found = false;
            for (const NamedValue& layer : options.layers) found = found || layer.name == v.name;
            if (!found) {
                throw QbrenderError("'" + v.name + "=" + v.value + "': no --layer '" + v.name +
                                    "' to choose channels of");
            }
        }
    }
}

// Which channels were used (with --verbose or --timing), and a note on stderr when depth-like
// channels were left alone.
void reportChannels(const Options& options, LayerSource& source, int frame,
                    const std::string& label, std::ostream& out, std::ostream& err) {
    const ImageFileInfo& info = source.frameInfo(frame);
    if ((options.verbose || options.timing) && !info.channels.empty()) {
        out << label << ": " << info.channels << "\n";
    }
    if (!info.note.empty()) err << "qbrender: note: " << info.note << "\n";
}

// The classic path carries 8 and 16 bits only: a float render there would clip every value
// above 1.0, so it is refused unless the user asks for the integer depth.
void checkClassicDepth(const Options& options, SampleDepth input_depth,
                       const std::string& input_label) {
    if (!options.classic) return;
    if (options.bits && *options.bits == 32) {
        throw QbrenderError(
            "--classic --bits 32: the classic render path has no 32-bit float worlds (it carries "
            "8 and 16 bits); render without --classic");
    }
    if (!options.bits && input_depth == SampleDepth::float32) {
        throw QbrenderError("--classic: " + input_label +
                            " is 32-bit float and the classic render path has no 32-bit float "
                            "worlds (it carries 8 and 16 bits); render without --classic, or add "
                            "--bits 16 to clip the values to 0..1");
    }
}

// Notes on stderr for a render that knowingly loses precision: a float input at an integer
// depth, a float render to PNG or JPEG.
void notePrecisionLoss(const Options& options, SampleDepth input_depth, SampleDepth depth,
                       const std::string& input_label, const FrameRange& frames,
                       std::ostream& err) {
    if (input_depth == SampleDepth::float32 && depth != SampleDepth::float32) {
        err << "qbrender: note: " << input_label << " is 32-bit float, rendered at "
            << depthName(depth) << ": values outside 0..1 are clipped\n";
    }
    if (options.half && !options.output.empty() &&
        formatFromExtension(options.output) != ImageFormat::exr) {
        throw QbrenderError("--half: '" + options.output +
                            "' is not an EXR file; half floats are for EXR output only");
    }
    if (!options.output.empty()) {
        const std::string note =
            precisionLossNote(depth, frameFileName(options.output, frames.first));
        if (!note.empty()) err << "qbrender: note: " << note << "\n";
    }
}

// Writes frame f's output with the input file's metadata (camera, frame, custom attributes)
// when the output is EXR.
void writeOutput(const Options& options, LayerSource& input, const Image& image, int frame) {
    WriteOptions write;
    write.half_float = options.half;
    if (!options.input.empty()) write.metadata = &input.frameInfo(frame).metadata;
    writeImage(image, frameFileName(options.output, frame), write);
}

// ---- end of image files ----

// Every host-side finding ends the run: the effect broke a rule even if it reported success.
void throwOnFaults(EffectSession& session) {
    const std::vector<std::string> faults = session.takeFaults();
    if (faults.empty()) return;
    std::string more;
    if (faults.size() > 1) {
        more = " (and " + std::to_string(faults.size() - 1) + " more)";
    }
    throw QbrenderError(session.effectName() + ": " + faults.front() + more,
                        ExitStatus::effect_error);
}

std::string aboutText(std::string text) {
    for (char& c : text) {
        if (c == '\r') c = '\n';
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text;
}

void printControls(std::ostream& out, const std::vector<ControlState>& controls) {
    char line[160];
    for (const ControlState& c : controls) {
        std::snprintf(line, sizeof line, "%4d  %-8s  %-14s '%s'\n", c.position,
                      c.enabled ? "enabled" : "disabled", c.kind.c_str(), c.name.c_str());
        out << line;
    }
}

// ---- the steps of a run ----

// Help, --write-sample and --list without an effect answer without loading one; true when
// the options asked for one of them and it was given.
bool answerWithoutEffect(const Options& options, std::ostream& out) {
    if (options.help) {
        out << helpText();
        return true;
    }
    if (!options.write_sample.empty()) {
        const FrameSize size = options.size.value_or(FrameSize{kSampleWidth, kSampleHeight});
        for (const auto& file : writeSample(options.write_sample, size.width, size.height)) {
            out << file.string() << "\n";
        }
        return true;
    }
    if (options.list && options.effect.empty()) {
        std::vector<std::string> problems;
        const std::vector<EffectInfo> effects = findEffects(options.plugin_dir, &problems);
        out << effectListing(effects);
        for (const std::string& p : problems) out << "unreadable plug-in: " << p << "\n";
        return true;
    }
    return false;
}

// The input and the connected layers, read before the effect is loaded, and the project depth
// they are rendered at.
struct RunLayers {
    std::shared_ptr<LayerSource> input;
    std::vector<std::pair<std::string, std::shared_ptr<LayerSource>>> layers;
    SampleDepth depth = SampleDepth::float32;
};

// Everything that can be checked before the effect runs is checked first: a bad file or folder
// never costs a render, and no output is touched.
RunLayers loadLayers(const Options& options, const FrameRange& frames, bool render,
                     std::ostream& out, std::ostream& err) {
    if (!options.output.empty()) {
        for (int f = frames.first; f <= frames.last; ++f) {
            checkOutputPath(frameFileName(options.output, f));
        }
    }
    checkChannelTargets(options);
    RunLayers loaded;
    if (options.input.empty()) {
        const FrameSize size = options.size.value_or(FrameSize{kSampleWidth, kSampleHeight});
        loaded.input = LayerSource::fromImage(makeSampleScene(size.width, size.height).color,
                                              "the sample scene");
    } else {
        loaded.input = layerFromFile(options.input, frames.first, channelRequest(options, ""));
        reportChannels(options, *loaded.input, frames.first, "input '" + options.input + "'", out,
                       err);
    }
    const SampleDepth input_depth = loaded.input->frame(frames.first).depth();
    for (const NamedValue& layer : options.layers) {
        loaded.layers.emplace_back(layer.name, layerFromFile(layer.value, frames.first,
                                                             channelRequest(options, layer.name)));
        reportChannels(options, *loaded.layers.back().second, frames.first,
                       "layer '" + layer.name + "' '" + layer.value + "'", out, err);
    }
    const std::string input_label =
        options.input.empty() ? std::string("the sample scene") : "'" + options.input + "'";
    checkClassicDepth(options, input_depth, input_label);
    loaded.depth = options.bits ? depthOfBits(*options.bits) : input_depth;
    if (render) notePrecisionLoss(options, input_depth, loaded.depth, input_label, frames, err);
    return loaded;
}

SessionSettings sessionSettings(const Options& options, ProgressBar& bar) {
    SessionSettings settings;
    settings.threads = options.threads.value_or(0);
    settings.depth_double = options.depth_double;
    settings.progress_bar = &bar;
    settings.cancel_after_progress_calls = options.cancel_after;
    settings.missing_suites = options.deny_suites;
    settings.failing_checkouts = options.fail_checkouts;
    return settings;
}

// The loaded effect gets its layers, parameters, project depth and first frame.
void setUpEffect(EffectSession& session, const Options& options, const RunLayers& loaded,
                 const FrameRange& frames) {
    if (options.memory_limit_mb != 0) session.handles().setLimit(options.memory_limit_mb << 20);
    throwOnFaults(session);
    session.setInput(loaded.input);
    for (const auto& [name, source] : loaded.layers) session.connectLayer(name, source);
    for (const NamedValue& set : options.sets) session.setParameter(set.name, set.value);
    for (const std::string& name : options.fail_checkouts) {
        if (name == "input") continue;
        const HostParameter& p = session.parameters().at(session.parameters().require(name));
        if (p.type() != PF_Param_LAYER) {
            throw QbrenderError("--fail-checkout '" + name + "': the parameter is a " +
                                ParameterStore::kindName(p.type()) + ", not a layer");
        }
    }
    session.setProjectDepth(loaded.depth);
    session.setCurrentFrame(frames.first);
}

// --list-params, --about, the UI update, --click and --ui, in that order.
void answerQueries(EffectSession& session, const Options& options, std::ostream& out) {
    if (options.list_params) out << session.parameters().table();
    if (options.about) out << aboutText(session.about());
    session.updateParamsUI();
    throwOnFaults(session);
    for (const std::string& click : options.clicks) {
        const std::vector<ParameterChange> changes = session.userChangedParam(click);
        throwOnFaults(session);
        if (changes.empty()) out << "click '" << click << "': no parameter changed\n";
        for (const ParameterChange& c : changes) {
            out << "click '" << click << "': '" << c.name << "' " << c.before << " -> " << c.after
                << "\n";
        }
    }
    if (options.ui) printControls(out, session.controls());
}

// A frame that did not end with PF_Err_NONE ends the run: a cancel with its own status, any
// other code as the effect's error (with the refused allocation after an out-of-memory).
void throwOnFrameFailure(EffectSession& session, const FrameResult& result, int frame) {
    if (result.status == PF_Err_NONE) return;
    if (result.status == PF_Interrupt_CANCEL) {
        throw QbrenderError("cancelled at frame " + std::to_string(frame) + " (" +
                                commandName(result.failed_command) + ")",
                            ExitStatus::cancelled);
    }
    const std::string refusal = session.handles().lastRefusal();
    throw QbrenderError(
        session.effectName() + ": " + commandName(result.failed_command) + " returned " +
            errorText(result.status) + " at frame " + std::to_string(frame) +
            (result.status == PF_Err_OUT_OF_MEMORY && !refusal.empty() ? " (" + refusal + ")" : ""),
        ExitStatus::effect_error);
}

// Renders every frame of the range and writes each output as soon as it is complete.
void renderFrames(EffectSession& session, const Options& options, const RunLayers& loaded,
                  const FrameRange& frames, ProgressBar& bar, std::ostream& out) {
    double total = 0;
    double host_total = 0;
    for (int f = frames.first; f <= frames.last; ++f) {
        FrameRequest request;
        request.frame = f;
        request.depth = loaded.depth;
        request.downsample = options.downsample;
        request.classic = options.classic;
        request.fail_allocations_from = options.fail_allocation;
        bar.begin(frames.count() > 1 ? "frame " + std::to_string(f) : "rendering");
        const FrameResult result = session.render(request);
        bar.finish();
        if (options.timing) {
            // What --cancel-after counts, so that a tester can pick a call within the frame.
            out << "frame " << f << ": progress calls " << result.progress_calls << "\n";
        }
        if (options.timing && result.cancel_latency) {
            char line[96];
            std::snprintf(line, sizeof line, "frame %d: cancel latency: %.1f ms\n", f,
                          *result.cancel_latency * 1000.0);
            out << line;
        }
        throwOnFrameFailure(session, result, f);
        throwOnFaults(session);
        total += result.seconds;
        host_total += result.host_seconds;
        if (options.timing) {
            // The effect's time, then the host's own work for the frame (worlds, checks).
            char line[96];
            std::snprintf(line, sizeof line, "frame %d: render commands %.3f s\n", f,
                          result.seconds);
            out << line;
            std::snprintf(line, sizeof line, "frame %d: host overhead %.3f s\n", f,
                          result.host_seconds);
            out << line;
        }
        if (!options.output.empty()) {
            writeOutput(options, *loaded.input, result.output, f);
        }
    }
    if (options.timing && frames.count() > 1) {
        char line[96];
        std::snprintf(line, sizeof line, "%d frames: render commands %.3f s\n", frames.count(),
                      total);
        out << line;
        std::snprintf(line, sizeof line, "%d frames: host overhead %.3f s\n", frames.count(),
                      host_total);
        out << line;
    }
}

// Parse, answer what needs no effect, read the layers, load and set up the effect, answer the
// queries, render and write, close.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    const Options options = parseOptions(argc, argv);
    if (answerWithoutEffect(options, out)) return int(ExitStatus::done);

    const EffectInfo effect = resolveEffect(options.effect, options.plugin_dir);
    const FrameRange frames = options.frames.value_or(FrameRange{0, 0});
    const bool query =
        options.list_params || options.about || options.ui || !options.clicks.empty();
    const bool render = !options.output.empty() || !query || options.timing;
    const RunLayers loaded = loadLayers(options, frames, render, out, err);

    ProgressBar bar(options.quiet ? ProgressBar::Mode::never : ProgressBar::Mode::automatic);
    InterruptGuard interrupt;
    EffectSession session(effect, sessionSettings(options, bar));
    setUpEffect(session, options, loaded, frames);
    answerQueries(session, options, out);
    if (render) renderFrames(session, options, loaded, frames, bar, out);
    session.close();
    throwOnFaults(session);
    return int(ExitStatus::done);
}

}  // namespace

int runCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    try {
        return run(argc, argv, out, err);
    } catch (const QbrenderError& e) {
        err << "qbrender: " << e.what() << "\n";
        return int(e.status());
    } catch (const std::exception& e) {
        err << "qbrender: " << e.what() << "\n";
        return int(ExitStatus::bad_input);
    }
}
