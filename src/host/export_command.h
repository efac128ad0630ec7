// The program's "export" command: writes the stored responses of a form to
// the standard output as CSV or JSON Lines, for an operator or an author
// who reads the server root's files directly (no password is asked: the
// files are theirs). "tallypad export [--format csv|jsonl] [--query Q]
// SERVER_ROOT FORM" exports what the list viewer's download links export:
// the live records of the form's data file that satisfy the list query Q.
#pragma once

namespace tallypad {

// Runs the command with the arguments after its name; returns the exit
// status: 0 when the records were written, 1 when the form or its data
// file cannot be read, 2 for a wrong command line.
int ExportCommand(int argc, char** argv);

}  // namespace tallypad
