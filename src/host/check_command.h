// The command `tallypad check [SERVER_ROOT] [FORM...]`, for survey authors:
// checks the forms of a server root (by default the one `tallypad` would
// serve) without serving or changing anything, and prints one line per
// finding, "file:line: error: text" or "file:line: warning: text" (files
// relative to the server root, as compilers name them, after a make-style
// "Entering directory" line that lets editors find them), then a summary.
#pragma once

namespace tallypad {

// Runs the command with the arguments after "check"; returns the exit
// status: 0 without errors, 1 when an error was found, 2 for a usage error.
int CheckCommand(int argc, char** argv);

}  // namespace tallypad
