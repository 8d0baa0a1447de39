#include "aehost/command_boundary.h"

#include <exception>
#include <new>

#include "aehost/after_effects_error.h"
#include "framework/logger.h"
#include "framework/quillbrook_exception.h"

namespace {

// One warning entry; a failure to compose it (memory) loses the entry, never the result code.
void logWarning(const char* prefix, const char* detail) noexcept {
    try {
        LogEntry(Logger::kWarning) << Logger::kWarningPrefix << prefix << detail << "\n";
    } catch (...) {
    }
}

}  // namespace

// VERBATIM: the warning texts below ("caught unexpected exception: ", "host error: ").
PF_Err guardCommand(CommandBody body, void* context) noexcept {
    try {
        return body(context);
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (const QuillbrookAbort&) {
        return PF_Interrupt_CANCEL;
    } catch (const QuillbrookException& e) {
        logWarning("caught unexpected exception: ", e.message().c_str());
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    } catch (const AfterEffectsError& e) {
        logWarning("host error: ", e.what());
        return e.error();
    } catch (const std::exception& e) {
        logWarning("caught unexpected exception: ", e.what());
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    } catch (...) {
        logWarning("caught unexpected exception: ", "of unknown type");
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}
