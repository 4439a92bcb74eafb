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

namespace {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string LinkedOutputElsewhere(const std::string& path) {
  struct stat link;
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return "";
  std::vector<char> target(4096);
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
  if (length <= 0) return "";
  std::string named(target.data(), static_cast<std::size_t>(length));
  if (named[0] != '/') named = FolderOf(path) + "/" + named;
  struct stat here;
  struct stat there;
  const std::string folder = FolderOf(named);
  if (::stat(FolderOf(path).c_str(), &here) != 0 || ::stat(folder.c_str(), &there) != 0) return "";
  return here.st_dev == there.st_dev ? "" : folder;
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
