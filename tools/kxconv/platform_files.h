// What kxconv needs of the operating system beyond the C library, behind one
// seam: file names are UTF-8 everywhere in kxconv, and each system spells
// them its own way (natively the bytes as given; on Windows UTF-16 from the
// wide command line, so that names in any language arrive intact).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// The program's arguments in UTF-8. False when they cannot be had.
bool ProgramArguments(int argc, char** argv, std::vector<std::string>* arguments);

// Opens `path` for reading in binary mode. On failure returns null with a
// reason (no file name) in *error: "is a folder", or why it cannot be opened.
std::FILE* OpenInputFile(const std::string& path, std::string* error);

bool IsExistingFolder(const std::string& path);

// Standard input, in binary mode (on Windows it starts in text mode, which
// would take bytes 0x0D 0x0A and 0x1A as line ends and an end of file).
std::FILE* StandardInput();

// Whether stderr is a terminal that takes the progress line's escapes.
bool StderrIsTerminal();
