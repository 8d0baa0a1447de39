#include <cstdio>
#include <exception>
#include <iostream>

#include "options.h"
#include "qbrender_error.h"
#include "sample_scene.h"

namespace {

int run(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (options.help) {
        std::cout << helpText();
        return int(ExitStatus::done);
    }
    if (!options.write_sample.empty()) {
        const FrameSize size = options.size.value_or(FrameSize{kSampleWidth, kSampleHeight});
        for (const auto& file : writeSample(options.write_sample, size.width, size.height)) {
            std::cout << file.string() << "\n";
        }
        return int(ExitStatus::done);
    }
    throw QbrenderError(options.list ? "listing effects needs the host driver, which this build "
                                       "does not have yet"
                                     : "rendering '" + options.effect +
                                           "' needs the host driver, which this build does not "
                                           "have yet",
                        ExitStatus::effect_error);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const QbrenderError& e) {
        std::cerr << "qbrender: " << e.what() << "\n";
        return int(e.status());
    } catch (const std::exception& e) {
        std::cerr << "qbrender: " << e.what() << "\n";
        return int(ExitStatus::bad_input);
    }
}
