#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace {

// The signal handler may only touch plain static data: the path of the
// temporary file in progress, when there is one.
constexpr std::size_t kMaxTempPathBytes = 4096;
char g_temp_path[kMaxTempPathBytes];
volatile std::sig_atomic_t g_temp_live = 0;
mode_t g_file_mode = 0644;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTempAndDie(int signal_number) {
  if (g_temp_live != 0) ::unlink(g_temp_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void ForgetTemp() { g_temp_live = 0; }

std::string Folder(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void InstallOutputCleanup() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  g_file_mode = static_cast<mode_t>(0666 & ~mask);
  for (const int s : kCleanupSignals) std::signal(s, RemoveTempAndDie);
}

bool BeginOutput(const std::string& path, PendingFile* pending, std::string* error) {
  *pending = PendingFile{};
  const std::string base = BaseName(path);
  if (base.empty()) {
    *error = "the output name is a folder";
    return false;
  }
  // Hidden, and named after its destination, so that a leftover from a
  // crash is easy to recognise.
  const std::string pattern = Folder(path) + "/." + base + ".kxconv-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (name.size() > kMaxTempPathBytes) {
    *error = "the output path is too long";
    return false;
  }
  std::memcpy(g_temp_path, name.data(), name.size());
  const int fd = ::mkstemp(g_temp_path);
  if (fd < 0) {
    *error = std::string("cannot create a file in ") + Folder(path) + ": " + std::strerror(errno);
    return false;
  }
  g_temp_live = 1;
  pending->final_path = path;
  pending->temp_path = g_temp_path;
  // mkstemp makes the file private; a finished output gets the usual
  // permissions, as if it had been created directly.
  std::FILE* file = ::fchmod(fd, g_file_mode) == 0 ? ::fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    *error = std::string("cannot open the temporary file: ") + std::strerror(errno);
    ::close(fd);
    ::unlink(pending->temp_path.c_str());
    ForgetTemp();
    return false;
  }
  pending->file = file;
  return true;
}

bool CommitOutput(PendingFile* pending, std::string* error) {
  // The first failure's cause is the one worth reporting.
  int failure = 0;
  const auto note = [&failure] {
    if (failure == 0) failure = errno != 0 ? errno : EIO;
  };
  errno = 0;
  if (std::fflush(pending->file) != 0 || ::fsync(::fileno(pending->file)) != 0) note();
  if (std::fclose(pending->file) != 0) note();
  pending->file = nullptr;
  if (failure == 0 && ::rename(pending->temp_path.c_str(), pending->final_path.c_str()) != 0) note();
  if (failure != 0) {
    *error = std::string("cannot write the output: ") + std::strerror(failure);
    ::unlink(pending->temp_path.c_str());
  }
  ForgetTemp();
  return failure == 0;
}

void AbandonOutput(PendingFile* pending) {
  if (pending->file != nullptr) std::fclose(pending->file);
  pending->file = nullptr;
  if (!pending->temp_path.empty()) ::unlink(pending->temp_path.c_str());
  ForgetTemp();
}
