#pragma once
// The command line of the print client.

#include <ostream>

#include "Core/CoreDef.h"

enum class COMMAND_LINE { Run, Help, Error };

// The server URL used when --url is missing or empty.
extern const char* const DEFAULT_SERVER_URL;

// Parses argv into the four settings. Help goes to `out` (for --help or a
// missing --printer or --name), an option error's message to `err`.
COMMAND_LINE ParseCommandLine(int argc, const char* const argv[], _STRING& url, _STRING& driver, _STRING& name,
                              _INT& dpi, std::ostream& out, std::ostream& err);

// The exit status for a parse result that does not run the client.
inline int ExitStatus(COMMAND_LINE result) { return result == COMMAND_LINE::Help ? 1 : -1; }
