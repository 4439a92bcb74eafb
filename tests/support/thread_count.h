// Which decode a host took, told by the threads it started: the library's
// whole-file decode (kx_decode) starts its second decoding thread and its
// prefault thread where they pay, the decoder in pieces never starts one
// (no thread may outlive a push). A host that decodes a whole file must
// start exactly the threads kx_decode starts for it, with no timing
// involved: fewer means it took the pieces decoder, or kept to one thread.
//
// Threads are counted by a pthread_create of the test program's own, which
// every library and module in the process calls (it forwards to the real
// one). Not for Windows builds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kx.h"

// Threads started, anywhere in the process, while `work` ran.
int ThreadsStartedDuring(const std::function<void()>& work);

// Threads the build's shared library (libkx.so.1 at library_path, loaded
// once) starts when kx_decode decodes the file whole into fresh rows of
// `layout` (by default RGB, as the desktop loaders ask for them) at its
// default stride; -1 when the library or the file cannot be had or the
// decode fails.
int LibraryDecodeThreads(const std::string& library_path, const std::string& file_path, int layout = KX_LAYOUT_RGB);
