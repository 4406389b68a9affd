#pragma once

namespace orvu {

// Asks every child process still running (tool runs the app no longer waits for) to end, so
// that none outlives the app.
void terminateChildProcesses();

} // namespace orvu
