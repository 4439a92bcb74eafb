// Output files that appear only when complete: everything is written to a
// temporary file beside the destination (same folder, so the final rename
// cannot cross file systems), which is renamed into place once it has been
// written, flushed and closed without error. A failure, or an interrupting
// signal, removes the temporary file and leaves any older destination as it
// was.
#pragma once

#include <cstdio>
#include <string>

struct PendingFile {
  std::string final_path;
  std::string temp_path;
  std::FILE* file = nullptr;
};

// Removes the temporary file in progress when SIGINT, SIGTERM or SIGHUP
// arrives, then lets the signal end the process as it would have. Also
// takes the process's umask, which the finished files' permissions follow.
void InstallOutputCleanup();

// Creates the temporary file for `path`. On failure returns false with a
// reason (no file name) in *error.
bool BeginOutput(const std::string& path, PendingFile* pending, std::string* error);

// Closes the temporary file and renames it to its final name. On failure
// the temporary file is removed and *error says why.
bool CommitOutput(PendingFile* pending, std::string* error);

// Closes and removes the temporary file.
void AbandonOutput(PendingFile* pending);
