#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qbrender/command_line.h"
#include "qbrender/effect_session.h"
#include "qbrender/host_names.h"
#include "qbrender/image.h"
#include "qbrender/image_file.h"
#include "qbrender/options.h"
#include "qbrender/plugin_library.h"
#include "qbrender/qbrender_error.h"
#include "qbrender/sample_scene.h"

// Fault injection over whole renders: small frames of both effects in every "show" view are
// rendered once to count their host allocations and progress calls, then once for every one of
// them with that allocation refused or that progress call answering "cancel", and with each
// suite refused and each layer checkout failing. Every faulted render must return the host's
// code for the fault, give every memory handle back, stop every thread it started and, through
// the qbrender program's code path, leave no output or temporary file behind.

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 32;
constexpr int kThreads = 2;

// Injected faults that were answered as they must be; each test reports its share.
int g_survived = 0;

// The files the program path reads, shared by every test of this file: the sample scene at
// the test size as colour and depth images, and a small ring as a lens image.
class Inputs {
public:
    static Inputs& get() {
        static Inputs inputs;
        return inputs;
    }
    const fs::path& folder() const { return folder_; }
    fs::path file(const std::string& name) const { return folder_ / name; }
    std::shared_ptr<LayerSource> input() const { return input_; }
    std::shared_ptr<LayerSource> layer(const std::string& name) const {
        return LayerSource::fromImage(readImage(file(name)), name);
    }
    const Image& sceneWithoutZ() const { return scene_without_z_; }

private:
    Inputs() {
        folder_ = fs::temp_directory_path() / ("qb_faults_" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        writeSample(folder_, kWidth, kHeight);
        Image ring(9, 9, SampleDepth::float32);
        for (int y = 0; y < 9; ++y) {
            for (int x = 0; x < 9; ++x) {
                const double r = std::hypot(x - 4.0, y - 4.0);
                const double v = r > 2.0 && r < 4.2 ? 1.0 : 0.2;
                for (int c = 0; c < 3; ++c) ring.setSample(x, y, c, v);
                ring.setSample(x, y, 3, 1.0);
            }
        }
        writeImage(ring.converted(SampleDepth::bits8), folder_ / "ring.png");
        const Image scene = makeSampleScene(kWidth, kHeight).color;
        input_ = LayerSource::fromImage(scene, "the sample scene");
        scene_without_z_ = scene;
        scene_without_z_.clearZ();
        // The image library starts its worker threads with the first file it writes; they
        // must be running before any thread count is taken.
        writeImage(scene, folder_ / "warm_up.tif");
        fs::remove(folder_ / "warm_up.tif");
    }
    ~Inputs() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path folder_;
    std::shared_ptr<LayerSource> input_;
    Image scene_without_z_;
};

// Finding an effect reads the plug-in files: once per effect is enough.
const EffectInfo& effectInfo(const std::string& name) {
    static std::map<std::string, EffectInfo> found;
    auto it = found.find(name);
    if (it == found.end()) it = found.emplace(name, resolveEffect(name, defaultPluginDir())).first;
    return it->second;
}

SampleDepth depthOfBits(int bits) {
    return bits == 8 ? SampleDepth::bits8 : bits == 16 ? SampleDepth::bits16 : SampleDepth::float32;
}

// One small render: the effect, its "show" view, the project depth and path, values and layers
// (layer parameter name = file name in the inputs folder).
struct Case {
    std::string effect;
    std::string show;
    int bits = 8;
    bool classic = false;
    std::vector<NamedValue> sets;
    std::vector<NamedValue> layers;
    // Every progress call is answered with "cancel" in turn when 1; when k, only every k-th
    // (and the first two and the last two), for the views whose frames report over a thousand
    // times and are swept in full at another depth or path.
    int64_t progress_stride = 1;

    std::string label() const {
        std::string text = effect + " show=" + show + " " + std::to_string(bits) + " bits" +
                           (classic ? " classic" : " smart");
        for (const NamedValue& layer : layers) text += " +" + layer.name;
        return text;
    }
};

struct Injection {
    uint64_t fail_allocation = 0;
    int64_t cancel_after = 0;
    std::vector<std::string> deny_suites;
    std::vector<std::string> fail_checkouts;
    bool fail_layer_requests = false;
};

// Threads of this process, as the kernel lists them: the plug-ins' worker threads are counted
// whichever copy of the thread pool runs them.
int liveThreads() {
    int n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A joined thread may stay listed for a moment after its join returns; a thread left running
// stays for good.
void expectNoThreadLeft(int before) {
    int now = liveThreads();
    for (int i = 0; i < 1000 && now > before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now = liveThreads();
    }
    EXPECT_LE(now, before) << "threads left running after the render";
}

struct LibraryRun {
    FrameResult frame;
    uint64_t allocations = 0;  // host allocations the frame's commands asked for
    size_t live_handles = 0;   // after the frame
    std::vector<std::string> faults;
    std::vector<ControlState> controls;
};

// One effect instance set up for a case, rendering it again and again as a host does, each
// frame with its own faults.
class CaseSession {
public:
    CaseSession(const Case& c, const Injection& inject,
                std::shared_ptr<LayerSource> input = Inputs::get().input())
        : case_(c), session_(effectInfo(c.effect), settingsOf(inject)) {
        session_.setInput(std::move(input));
        for (const NamedValue& layer : c.layers) {
            session_.connectLayer(layer.name, Inputs::get().layer(layer.value));
        }
        session_.setParameter("show", c.show);
        for (const NamedValue& set : c.sets) session_.setParameter(set.name, set.value);
        session_.setProjectDepth(depthOfBits(c.bits));
        controls_ = session_.updateParamsUI();
    }
    ~CaseSession() {
        session_.close();
        for (const std::string& fault : session_.takeFaults()) ADD_FAILURE() << fault;
    }

    LibraryRun render(uint64_t fail_allocation = 0, int64_t cancel_after = 0) {
        const int threads_before = liveThreads();
        FrameRequest request;
        request.depth = depthOfBits(case_.bits);
        request.classic = case_.classic;
        request.fail_allocations_from = fail_allocation;
        request.cancel_after_progress_calls = cancel_after;
        LibraryRun run;
        const uint64_t before = session_.handles().allocationCount();
        run.frame = session_.render(request);
        run.allocations = session_.handles().allocationCount() - before;
        run.live_handles = session_.handles().liveCount();
        run.faults = session_.takeFaults();
        run.controls = controls_;
        expectNoThreadLeft(threads_before);
        return run;
    }

private:
    static SessionSettings settingsOf(const Injection& inject) {
        SessionSettings settings;
        settings.threads = kThreads;
        settings.missing_suites = inject.deny_suites;
        settings.failing_checkouts = inject.fail_checkouts;
        settings.fail_layer_requests = inject.fail_layer_requests;
        return settings;
    }

    Case case_;
    EffectSession session_;
    std::vector<ControlState> controls_;
};

LibraryRun renderInProcess(const Case& c, const Injection& inject,
                           std::shared_ptr<LayerSource> input = Inputs::get().input()) {
    CaseSession session(c, inject, std::move(input));
    return session.render(inject.fail_allocation, inject.cancel_after);
}

void expectNoFaults(const LibraryRun& run) {
    EXPECT_EQ(run.live_handles, 0u);
    for (const std::string& fault : run.faults) ADD_FAILURE() << fault;
}

void expectSamePixels(const Image& a, const Image& b) {
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    ASSERT_EQ(a.depth(), b.depth());
    int differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int ch = 0; ch < 4; ++ch)
                if (a.sample(x, y, ch) != b.sample(x, y, ch)) ++differing;
    EXPECT_EQ(differing, 0);
}

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The qbrender program's code path (options, session, render, file write) in process, on the
// sample scene at the test size, writing into a folder of its own that must be empty after a
// failed run.
ProgramRun runProgram(const Case& c, const std::vector<std::string>& extra,
                      const fs::path& output) {
    std::vector<std::string> args = {"qbrender",
                                     effectInfo(c.effect).path.string(),
                                     "--size",
                                     std::to_string(kWidth) + "x" + std::to_string(kHeight),
                                     "--threads",
                                     std::to_string(kThreads),
                                     "--quiet",
                                     "--bits",
                                     std::to_string(c.bits),
                                     "--set",
                                     "show=" + c.show};
    if (c.classic) args.push_back("--classic");
    for (const NamedValue& set : c.sets) {
        args.push_back("--set");
        args.push_back(set.name + "=" + set.value);
    }
    for (const NamedValue& layer : c.layers) {
        args.push_back("--layer");
        args.push_back(layer.name + "=" + Inputs::get().file(layer.value).string());
    }
    args.push_back("-o");
    args.push_back(output.string());
    for (const std::string& e : extra) args.push_back(e);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out;
    std::ostringstream err;
    const int threads_before = liveThreads();
    ProgramRun run;
    run.status = runCommandLine(int(argv.size()), argv.data(), out, err);
    run.out = out.str();
    run.err = err.str();
    expectNoThreadLeft(threads_before);
    return run;
}

// A fresh output folder for program runs.
class OutputFolder {
public:
    OutputFolder() : path_(Inputs::get().folder() / "out") {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~OutputFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path output() const { return path_ / "blurred.tif"; }
    // Everything in the folder (the output, a temporary file), for the message of a failure.
    std::string entries() const {
        std::string names;
        for (const auto& e : fs::directory_iterator(path_)) {
            names += " " + e.path().filename().string();
        }
        return names;
    }
    void clear() {
        for (const auto& e : fs::directory_iterator(path_)) fs::remove_all(e.path());
    }

private:
    fs::path path_;
};

// A failed program run: exit status, the effect's code in the message, nothing written.
void expectProgramFailure(const ProgramRun& run, ExitStatus status, const std::string& code,
                          const OutputFolder& folder) {
    EXPECT_EQ(run.status, int(status)) << run.err;
    EXPECT_NE(run.err.find(code), std::string::npos) << run.err;
    EXPECT_EQ(folder.entries(), "") << "left behind by a failed render";
}

// The faults also sent through the program path: the first two, the middle one and the last
// two of `count`. (The program path adds the file handling to the library's; starting it costs
// more than a small render, too much for every progress call.)
bool throughProgram(uint64_t n, uint64_t count) {
    return n <= 2 || n == (count + 1) / 2 || n + 1 >= count;
}

// Every allocation, then every progress call of the frame, each through the library, and some
// of them also through the program path. What the frame did when faulted decides what it must
// return: a frame that never reached the n-th allocation or progress call (the split of work
// between the two threads varies) must render with status 0.
void sweep(const Case& c) {
    SCOPED_TRACE(c.label());
    CaseSession session(c, {});
    const LibraryRun clean = session.render();
    ASSERT_EQ(clean.frame.status, PF_Err_NONE) << errorText(clean.frame.status);
    expectNoFaults(clean);
    const uint64_t allocations = clean.allocations;
    const int64_t progress_calls = clean.frame.progress_calls;
    OutputFolder folder;

    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        const LibraryRun run = session.render(n, 0);
        expectNoFaults(run);
        if (run.allocations >= n) {
            EXPECT_EQ(run.frame.status, PF_Err_OUT_OF_MEMORY) << errorText(run.frame.status);
            if (run.frame.status == PF_Err_OUT_OF_MEMORY && run.faults.empty()) ++g_survived;
        } else {
            EXPECT_EQ(run.frame.status, PF_Err_NONE) << errorText(run.frame.status);
        }
        if (!throughProgram(n, allocations)) continue;
        const ProgramRun program =
            runProgram(c, {"--fail-allocation", std::to_string(n)}, folder.output());
        if (program.status == 0) {
            // Only a frame that asked for fewer allocations this time may succeed.
            EXPECT_LT(run.allocations, n) << "the program path rendered despite the fault";
            EXPECT_TRUE(fs::exists(folder.output()));
            folder.clear();
        } else {
            expectProgramFailure(program, ExitStatus::effect_error, "(4)", folder);
            if (program.status == int(ExitStatus::effect_error)) ++g_survived;
        }
    }

    for (int64_t n = 1; n <= progress_calls; ++n) {
        if (n > 2 && n + 1 < progress_calls && n % c.progress_stride != 0) continue;
        SCOPED_TRACE("progress call " + std::to_string(n) + " of " +
                     std::to_string(progress_calls));
        const LibraryRun run = session.render(0, n);
        expectNoFaults(run);
        if (run.frame.cancel_latency) {
            EXPECT_EQ(run.frame.status, PF_Interrupt_CANCEL) << errorText(run.frame.status);
            if (run.frame.status == PF_Interrupt_CANCEL && run.faults.empty()) ++g_survived;
        } else {
            EXPECT_LT(run.frame.progress_calls, n);
            EXPECT_EQ(run.frame.status, PF_Err_NONE) << errorText(run.frame.status);
        }
        if (!throughProgram(uint64_t(n), uint64_t(progress_calls))) continue;
        // --timing prints the cancel latency exactly when a progress call answered "cancel".
        const ProgramRun program =
            runProgram(c, {"--cancel-after", std::to_string(n), "--timing"}, folder.output());
        if (program.out.find("cancel latency") == std::string::npos) {
            EXPECT_EQ(program.status, 0) << program.err;
            EXPECT_TRUE(fs::exists(folder.output()));
            folder.clear();
        } else {
            expectProgramFailure(program, ExitStatus::cancelled, "cancelled", folder);
            if (program.status == int(ExitStatus::cancelled)) ++g_survived;
        }
    }
    std::cout << c.label() << ": " << allocations << " allocations, " << progress_calls
              << " progress calls\n";
}

// Each test reports the injected faults it saw answered correctly, on stdout and as a
// property of the test ("faults_survived") in the XML report.
class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override { first_ = g_survived; }
    void TearDown() override {
        RecordProperty("faults_survived", g_survived - first_);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::cout << info->name() << ": injected faults survived: " << g_survived - first_ << "\n";
    }

private:
    int first_ = 0;
};

const std::vector<NamedValue> kZblurSets = {{"radius", "3"},       {"black point", "1"},
                                            {"white point", "80"}, {"focal point", "128"},
                                            {"enable", "on"},      {"lightness start", "150"}};
const std::vector<NamedValue> kEvenblurSets = {{"radius", "3"},
                                               {"enable", "on"},
                                               {"lightness start", "150"},
                                               {"additive highlight", "2"},
                                               {"smooth", "1"}};

const char* const kZblurShows[] = {"normal blur",
                                   "iris",
                                   "depth-buffer",
                                   "highlight, selection",
                                   "highlight, selection only",
                                   "info density",
                                   "sharp zone"};
const char* const kEvenblurShows[] = {"normal blur", "iris", "highlight selection",
                                      "highlight selection only"};

Case zblurCase(const std::string& show, int bits, bool classic = false) {
    return Case{"zblur", show, bits, classic, kZblurSets, {}};
}

Case evenblurCase(const std::string& show, int bits, bool classic = false) {
    return Case{"evenblur", show, bits, classic, kEvenblurSets, {}};
}

// Depth from the scene's Z channel, every depth. The two views that blur report progress for
// every row of five sweeps over each tile: each is swept call by call at one depth.
TEST_F(FaultSweep, ZblurBlurringViews) {
    for (const char* show : {"normal blur", "info density"}) {
        for (const int bits : {8, 16, 32}) {
            Case c = zblurCase(show, bits);
            const std::string view = show;
            if ((view == "normal blur" && bits != 8) || (view == "info density" && bits != 32)) {
                c.progress_stride = 16;
            }
            sweep(c);
        }
    }
}

TEST_F(FaultSweep, ZblurDisplayViews) {
    for (const char* show : kZblurShows) {
        const std::string view = show;
        if (view == "normal blur" || view == "info density") continue;
        for (const int bits : {8, 16, 32}) sweep(zblurCase(show, bits));
    }
}

// The faults count within each frame: a session rendering several frames, as a host does, has
// every frame cancelled at the same progress call and refused memory from the same allocation.
// One thread, so that every frame makes the same calls in the same order.
TEST_F(FaultSweep, FaultsCountWithinEachFrame) {
    const Case c = zblurCase("normal blur", 8);
    SessionSettings settings;
    settings.threads = 1;
    settings.cancel_after_progress_calls = 7;
    EffectSession session(effectInfo(c.effect), settings);
    session.setInput(Inputs::get().input());
    for (const NamedValue& set : c.sets) session.setParameter(set.name, set.value);
    session.updateParamsUI();
    std::vector<uint64_t> allocations;
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        FrameRequest request;
        request.frame = frame;
        const FrameResult cancelled = session.render(request);
        EXPECT_EQ(cancelled.status, PF_Interrupt_CANCEL) << errorText(cancelled.status);
        ASSERT_TRUE(cancelled.cancel_latency.has_value());
        // The 7th call answers "cancel"; the effect asks no more after it.
        EXPECT_EQ(cancelled.progress_calls, 7);

        request.fail_allocations_from = 3;
        request.cancel_after_progress_calls = 1000000;
        const uint64_t before = session.handles().allocationCount();
        const FrameResult refused = session.render(request);
        EXPECT_EQ(refused.status, PF_Err_OUT_OF_MEMORY) << errorText(refused.status);
        EXPECT_FALSE(refused.cancel_latency.has_value());
        allocations.push_back(session.handles().allocationCount() - before);
        EXPECT_EQ(session.handles().liveCount(), 0u);
        for (const std::string& fault : session.takeFaults()) ADD_FAILURE() << fault;
        g_survived += 2;
    }
    EXPECT_EQ(allocations[0], allocations[1]);
    EXPECT_EQ(allocations[1], allocations[2]);
    EXPECT_GE(allocations[0], 3u);
    session.close();
}

// The layers: depth from a depth layer, an iris image and a selection layer, smart and
// classic.
TEST_F(FaultSweep, ZblurWithLayers) {
    for (const bool classic : {false, true}) {
        Case c = zblurCase("normal blur", 16, classic);
        c.layers = {{"depth layer", "sample_depth.png"},
                    {"alternative iris (beta)", "ring.png"},
                    {"alternative Selection layer", "sample.png"}};
        if (classic) c.progress_stride = 16;
        sweep(c);
    }
    Case classic = zblurCase("normal blur", 8, true);
    classic.progress_stride = 16;
    sweep(classic);
}

TEST_F(FaultSweep, EvenblurEveryViewAndDepth) {
    for (const char* show : kEvenblurShows) {
        for (const int bits : {8, 16, 32}) sweep(evenblurCase(show, bits));
    }
}

TEST_F(FaultSweep, EvenblurWithLayers) {
    for (const bool classic : {false, true}) {
        Case c = evenblurCase("normal blur", 8, classic);
        c.layers = {{"background layer", "sample.png"},
                    {"alternative iris", "ring.png"},
                    {"alternative Selection layer", "sample_depth.png"}};
        sweep(c);
    }
}

// No suite is indispensable to a render: each effect skips what a refused suite would serve.
// Refused, the parameter utilities leave every control as registered; the world suite is not
// used by a render; without the channel suite Zblur reads no depth channel, which is the
// render of the same scene without its Z plane.
TEST_F(FaultSweep, RefusedSuitesAreSkipped) {
    const char* const suites[] = {"PF Param Utils Suite", "PF World Suite", "PF AE Channel Suite"};
    for (const Case& base : {zblurCase("normal blur", 8), zblurCase("depth-buffer", 32),
                             evenblurCase("normal blur", 16)}) {
        SCOPED_TRACE(base.label());
        const LibraryRun clean = renderInProcess(base, {});
        ASSERT_EQ(clean.frame.status, PF_Err_NONE);
        const LibraryRun no_z = renderInProcess(
            base, {}, LayerSource::fromImage(Inputs::get().sceneWithoutZ(), "without Z"));
        ASSERT_EQ(no_z.frame.status, PF_Err_NONE);
        OutputFolder folder;
        for (const char* suite : suites) {
            SCOPED_TRACE(suite);
            Injection inject;
            inject.deny_suites = {suite};
            const LibraryRun run = renderInProcess(base, inject);
            expectNoFaults(run);
            EXPECT_EQ(run.frame.status, PF_Err_NONE) << errorText(run.frame.status);
            const bool channel = std::string(suite) == "PF AE Channel Suite";
            expectSamePixels(run.frame.output, channel ? no_z.frame.output : clean.frame.output);
            if (std::string(suite) == "PF Param Utils Suite") {
                for (const ControlState& control : run.controls) {
                    EXPECT_EQ(control.updates, 0) << control.name;
                }
            }
            const ProgramRun program = runProgram(base, {"--deny-suite", suite}, folder.output());
            EXPECT_EQ(program.status, 0) << program.err;
            EXPECT_TRUE(fs::exists(folder.output()));
            folder.clear();
            if (run.frame.status == PF_Err_NONE && program.status == 0) g_survived += 2;
        }
    }
}

// A layer checkout the host fails ends the frame with the host's code, whichever layer it is
// and whether or not anything is connected to it: in the classic path at checkout_param, in
// the smart path at smart pre-render's checkout_layer or at smart render's pixel checkout.
TEST_F(FaultSweep, FailedLayerCheckoutsEndTheFrameWithTheHostsCode) {
    struct Effect {
        Case base;
        std::vector<NamedValue> layers;
    };
    const Effect effects[] = {
        {zblurCase("normal blur", 8),
         {{"depth layer", "sample_depth.png"},
          {"alternative iris (beta)", "ring.png"},
          {"alternative Selection layer", "sample.png"}}},
        {evenblurCase("normal blur", 8),
         {{"background layer", "sample.png"},
          {"alternative iris", "ring.png"},
          {"alternative Selection layer", "sample_depth.png"}}},
    };
    OutputFolder folder;
    for (const Effect& effect : effects) {
        std::vector<std::string> names = {"input"};
        for (const NamedValue& layer : effect.layers) names.push_back(layer.name);
        for (const bool connected : {false, true}) {
            for (const std::string& name : names) {
                for (int path = 0; path < 3; ++path) {
                    Case c = effect.base;
                    c.classic = path == 0;
                    if (connected) c.layers = effect.layers;
                    // The classic path hands the input over in the parameter array: it is
                    // never checked out.
                    if (c.classic && name == "input") continue;
                    SCOPED_TRACE(c.label() + ", checkout of '" + name + "' fails" +
                                 (path == 1 ? " at the request" : ""));
                    Injection inject;
                    inject.fail_checkouts = {name};
                    inject.fail_layer_requests = path == 1;
                    const LibraryRun run = renderInProcess(c, inject);
                    expectNoFaults(run);
                    EXPECT_EQ(run.frame.status, kFailedCheckoutError)
                        << errorText(run.frame.status);
                    EXPECT_EQ(run.frame.failed_command, path == 0   ? PF_Cmd_RENDER
                                                        : path == 1 ? PF_Cmd_SMART_PRE_RENDER
                                                                    : PF_Cmd_SMART_RENDER);
                    if (run.frame.status == kFailedCheckoutError && run.faults.empty()) {
                        ++g_survived;
                    }
                    if (path == 1) continue;  // the program fails pixel checkouts only
                    const ProgramRun program =
                        runProgram(c, {"--fail-checkout", name}, folder.output());
                    expectProgramFailure(program, ExitStatus::effect_error,
                                         errorText(kFailedCheckoutError), folder);
                    if (program.status == int(ExitStatus::effect_error)) ++g_survived;
                }
            }
        }
    }
}

}  // namespace
