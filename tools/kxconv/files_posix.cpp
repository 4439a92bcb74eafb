#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform_files.h"

bool ProgramArguments(int argc, char** argv, std::vector<std::string>* arguments) {
  arguments->assign(argv, argv + argc);
  return true;
}

std::FILE* OpenInputFile(const std::string& path, std::string* error) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return nullptr;
  }
  struct stat st;
  if (::fstat(::fileno(in), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = "is a folder";
    std::fclose(in);
    return nullptr;
  }
  return in;
}

bool IsExistingFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::FILE* StandardInput() { return stdin; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
