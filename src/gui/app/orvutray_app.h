#pragma once

namespace orvu {

// The whole app: reads the command line, hands a sign-in link or a plain start to an instance
// that already runs, else runs the tray until the user quits. Returns the exit code: 2 for a
// command line it cannot use. The application name and version are set by the caller.
int runOrvuTray(int argc, char *argv[]);

} // namespace orvu
