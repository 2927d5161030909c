#pragma once

namespace quillpost {

/// The guard's answer to the console event |event| (Ctrl+C, Ctrl+Break, a
/// closed console, logoff, shutdown), called on the console's own handler
/// thread: waits for an update of the file in progress to complete, writes
/// the held entry back if it is still out, and returns false, so that the
/// next handler (in the end the platform's) ends the process as the event
/// would. Tests deliver events through it where no console can raise one.
bool OnConsoleEvent(unsigned long event);

}  // namespace quillpost
