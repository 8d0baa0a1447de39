#include "qbrender/render_job.h"

#include "qbrender/qbrender_error.h"

RenderOutcome runRenderJob(const RenderJob& job) {
    EffectSession session(resolveEffect(job.effect, job.plugin_dir), job.settings);
    RenderOutcome outcome;
    const auto collect = [&] {
        for (std::string& f : session.takeFaults()) outcome.faults.push_back(std::move(f));
    };
    if (job.input) session.setInput(job.input);
    for (const auto& [name, source] : job.layers) session.connectLayer(name, source);
    for (const NamedValue& set : job.sets) session.setParameter(set.name, set.value);
    session.setProjectDepth(job.frame.depth);
    session.setCurrentFrame(job.frame.frame);
    outcome.controls = session.updateParamsUI();
    for (const std::string& click : job.clicks) {
        for (ParameterChange& change : session.userChangedParam(click)) {
            outcome.changes.push_back(std::move(change));
        }
    }
    outcome.controls = session.controls();
    collect();
    if (job.input) outcome.frame = session.render(job.frame);
    collect();
    session.close();
    collect();
    outcome.commands = session.commandLog();
    return outcome;
}
