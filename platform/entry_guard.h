#pragma once

namespace quillpost {

class Platform;

/// Arms the guard of a held-out profile entry: from now until
/// DisarmEntryGuard, an interruption (SIGINT, SIGTERM, SIGHUP, SIGQUIT or
/// the platform's console events) or a fault (SIGSEGV, SIGBUS, SIGILL,
/// SIGFPE, SIGABRT, or an unhandled exception) writes |key| = |value| back
/// into |section| of |file| through |platform|, prints |failure_message| if
/// that write fails, and then lets the process end as it would have.
/// Returns false when the guard could not be armed.
bool ArmEntryGuard(Platform& platform, const char* section, const char* key, const char* value,
                   const char* file, const char* failure_message);

/// Disarms the guard; the caller has written the entry back itself.
void DisarmEntryGuard();

}  // namespace quillpost
