#pragma once

namespace quillpost {

class EntryGuard;
class Platform;

/// Exit statuses of wiztest.
constexpr int kExitWizardRan = 1;
constexpr int kExitWizardTestFailed = 2;  // after the pause for Return

/// The test run: runs the profile wizard of "mapi32.dll" for a new profile
/// proposed as "Testing profile" with the service "Varnholt Quillpost",
/// holding the entry "MSPST AB" out of section "Services" of the service
/// configuration file while the wizard runs, under |guard|, and writing it
/// back on every path.
///
/// An entry that could not be put back exactly (a value the read may have
/// cut or changed, or that the write would refuse, a file-size limit too
/// low for the put-back), or that cannot be guarded or deleted, stays in
/// place: one line says why, and the wizard runs all the same. A file that
/// could not be read is no file without the entry: the wizard does not run.
///
/// Returns 1 when the wizard ran (whatever it returned) and the entry, if
/// it was held out, is back. Returns 0 after printing why when the library,
/// the system directory or the entry point is missing, when the file could
/// not be read, or when the entry could not be written back.
int WizardTestRun(Platform& platform, EntryGuard& guard);

/// wiztest's main routine: makes the test run and, on failure, prints
/// "\nPress <Return>..." and waits for one character of standard input.
/// Returns the process exit status.
int WiztestMain(Platform& platform, EntryGuard& guard);

}  // namespace quillpost
