// kxconv's files on Windows: UTF-8 names turned into UTF-16 for the wide
// file functions, and outputs that appear only when complete, as natively
// (output_file.h): a temporary file beside the destination, renamed over it
// with MoveFileExW once written, flushed and closed.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "output_file.h"
#include "platform_files.h"
#include "tools/host/host.h"

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return L"";
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return L"";
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

bool Utf8(const std::wstring& wide, std::string* utf8) {
  utf8->clear();
  if (wide.empty()) return true;
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n <= 0) return false;
  utf8->resize(static_cast<std::size_t>(n));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), utf8->data(), n,
                      nullptr, nullptr);
  return true;
}

// The system's text for a Windows error, without its closing line break.
std::string SystemMessage(DWORD code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

// The console handler may only touch plain static data: the name of the
// temporary file in progress, when there is one.
constexpr std::size_t kMaxTempPathChars = 32768;
wchar_t g_temp_path[kMaxTempPathChars];
volatile LONG g_temp_live = 0;

BOOL WINAPI RemoveTempOnBreak(DWORD /*event*/) {
  // The file is open with delete sharing: it goes when the process ends.
  if (g_temp_live != 0) DeleteFileW(g_temp_path);
  return FALSE;  // and the default handler ends the process
}

// The folder part with its separator ("" for a bare name), and the folder
// as messages name it.
std::string FolderPrefix(const std::string& path) {
  const std::size_t slash = path.find_last_of(kPathSeparators);
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.find_last_of(kPathSeparators);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of(kPathSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ProgramArguments(int argc, char** argv, std::vector<std::string>* arguments) {
  std::vector<WideString> wide;
  if (!HostWideArguments(argc, argv, &wide)) return false;
  arguments->clear();
  for (const WideString& w : wide) {
    std::string utf8;
    if (!Utf8(std::wstring(w.begin(), w.end()), &utf8)) return false;
    arguments->push_back(utf8);
  }
  return true;
}

std::FILE* OpenInputFile(const std::string& path, std::string* error) {
  const std::wstring wide = Wide(path);
  if (wide.empty()) {
    *error = "cannot open: not a valid name";
    return nullptr;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = "is a folder";
    return nullptr;
  }
  std::FILE* in = _wfopen(wide.c_str(), L"rb");
  if (in == nullptr) *error = std::string("cannot open: ") + std::strerror(errno);
  return in;
}

bool IsExistingFolder(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD attributes = wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::FILE* StandardInput() {
  _setmode(_fileno(stdin), _O_BINARY);
  return stdin;
}

bool StderrIsTerminal() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == INVALID_HANDLE_VALUE || GetConsoleMode(err, &mode) == 0) return false;
  // The progress line clears itself with an escape sequence, which a
  // console takes only in this mode; without it no progress is shown.
  if (SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) return false;
  SetConsoleOutputCP(CP_UTF8);  // names are printed in UTF-8
  return true;
}

void InstallOutputCleanup() { SetConsoleCtrlHandler(RemoveTempOnBreak, TRUE); }

bool BeginOutput(const std::string& path, PendingFile* pending, std::string* error) {
  *pending = PendingFile{};
  const std::string base = BaseName(path);
  if (base.empty()) {
    *error = "the output name is a folder";
    return false;
  }
  // Named after its destination, so that a leftover from a crash is easy
  // to recognise; the process and a count keep concurrent runs apart.
  static LONG counter = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string temp;
  DWORD failure = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && failure == ERROR_FILE_EXISTS; ++attempt) {
    temp = FolderPrefix(path) + "." + base + ".kxconv-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(InterlockedIncrement(&counter));
    const std::wstring wide = Wide(temp);
    if (wide.empty() || wide.size() + 1 > kMaxTempPathChars) {
      *error = "the output path is too long or not a valid name";
      return false;
    }
    handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      std::memcpy(g_temp_path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
      failure = 0;
    } else {
      failure = GetLastError();
    }
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot create a file in " + Folder(path) + ": " + SystemMessage(failure);
    return false;
  }
  g_temp_live = 1;
  pending->final_path = path;
  pending->temp_path = temp;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
  std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    *error = std::string("cannot open the temporary file: ") + std::strerror(errno);
    if (fd >= 0) {
      _close(fd);
    } else {
      CloseHandle(handle);
    }
    DeleteFileW(Wide(temp).c_str());
    g_temp_live = 0;
    return false;
  }
  pending->file = file;
  return true;
}

bool CommitOutput(PendingFile* pending, std::string* error) {
  // The first failure's cause is the one worth reporting.
  std::string failure;
  errno = 0;
  if (std::fflush(pending->file) != 0 || _commit(_fileno(pending->file)) != 0) {
    failure = std::strerror(errno != 0 ? errno : EIO);
  }
  if (std::fclose(pending->file) != 0 && failure.empty()) failure = std::strerror(errno != 0 ? errno : EIO);
  pending->file = nullptr;
  const std::wstring temp = Wide(pending->temp_path);
  if (failure.empty() && MoveFileExW(temp.c_str(), Wide(pending->final_path).c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    failure = SystemMessage(GetLastError());
  }
  if (!failure.empty()) {
    *error = "cannot write the output: " + failure;
    DeleteFileW(temp.c_str());
  }
  g_temp_live = 0;
  return failure.empty();
}

void AbandonOutput(PendingFile* pending) {
  if (pending->file != nullptr) std::fclose(pending->file);
  pending->file = nullptr;
  if (!pending->temp_path.empty()) DeleteFileW(Wide(pending->temp_path).c_str());
  g_temp_live = 0;
}
