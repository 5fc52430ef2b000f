#pragma once

// The command line without the launcher's own program name and the blanks and
// control bytes after it; points into `commandLine`, possibly at its end.
const char* DeriveCommandTail(const char* commandLine);
