// The "tallypad outbox" command: shows the operator the mails waiting in the
// outbox of a server root and its dead letters, and with --retry moves the
// dead letters back into the queue. It works beside a running server (the
// outbox files are changed under their lock, and the server notices).
#pragma once

namespace tallypad {

// Runs "tallypad outbox [--retry] [SERVER_ROOT]" with the arguments after
// "outbox". Returns the exit status: 0 done, 1 the outbox could not be
// changed, 2 a usage error.
int OutboxCommand(int argc, char** argv);

}  // namespace tallypad
