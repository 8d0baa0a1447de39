#pragma once

#include <ostream>

// The qbrender program: parses the command line (options.h), then lists effects, writes the
// sample scene, or loads an effect, sets it up as the command line says and renders. Messages
// go to `err` as single lines starting "qbrender: "; listings, tables, the about text, clicks'
// changes and timings go to `out`. Returns the exit status (qbrender_error.h): 0 done, 1 bad
// usage or input, 2 the effect failed (or broke a rule of the host, see effect_session.h),
// 3 cancelled. A failure never leaves an output file behind or replaces an existing one.
int runCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
