#include "tools/kelcache/Console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>

#include "host/AppOptions.h"
#include "host/Utf8Text.h"
#include "tools/kelcache/SignalsHeld.h"
#include "tools/kelcache/Text.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

std::string ReadValueInput(const std::string& path) {
  // Values of the option's size or more are never stored: stop reading there
  // (endless input, /dev/zero or `yes`, would take every byte of memory).
  // The option is widened with its sign, as the stores read it: a negative
  // value lets every size through, 0 none.
  const int boundMb = kelvra::appoptions::ExternalCacheUpperBound2SizeMb();
  if (boundMb == 0) {
    throw FailureError("not stored: stores skip every value while the option ExternalCacheUpperBound2SizeMb is 0");
  }
  const size_t limit = boundMb < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(boundMb) << 20;
  const auto tooLarge = [boundMb] {
    return FailureError("not stored: the value is " + std::to_string(boundMb) +
                        " MiB or more; stores skip values of the option ExternalCacheUpperBound2SizeMb (" +
                        std::to_string(boundMb) + " MiB) or more");
  };
  std::string bytes;
  std::FILE* input = stdin;
  if (!path.empty()) {
    input = std::fopen(path.c_str(), "rb");
    if (input == nullptr) throw UsageError("cannot open '" + path + "': " + std::strerror(errno));
  }
  const std::string shown = path.empty() ? std::string("stdin") : "'" + path + "'";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(path.empty() ? nullptr : input, std::fclose);
  char buffer[65536];
  while (bytes.size() < limit) {
    const size_t count = std::fread(buffer, 1, std::min(sizeof(buffer), limit - bytes.size()), input);
    if (count == 0) break;
    bytes.append(buffer, count);
  }
  if (std::ferror(input)) throw FailureError("cannot read " + shown + ": " + std::strerror(errno));
  if (bytes.size() >= limit) throw tooLarge();
  return bytes;
}

namespace {

// Writes every byte to `fd`; 0, or the errno of the failed write.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

void WriteInPlace(const std::string& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw FailureError("cannot open '" + path + "' for writing: " + std::strerror(errno));
  int error = WriteAll(fd, bytes);
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) throw FailureError("cannot write '" + path + "': " + std::strerror(error));
}

}  // namespace

void WriteAllOutput(const std::string& path, std::string_view bytes) {
  // An empty value may have no buffer at all (data() is null).
  if (bytes.empty()) bytes = std::string_view("", 0);
  if (path.empty()) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
      throw FailureError(std::string("cannot write stdout: ") + std::strerror(errno));
    }
    return;
  }
  struct stat existing {};
  bool exists = lstat(path.c_str(), &existing) == 0;
  // The file behind stdout or stderr (-o /dev/stderr into a redirected log,
  // say) is written through that descriptor, after what is there: replacing
  // it would lose the log, and the shell's descriptor would go on writing to
  // the file replaced.
  if (struct stat named {}; stat(path.c_str(), &named) == 0) {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
      struct stat opened {};
      if (fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
        std::fflush(fd == STDOUT_FILENO ? stdout : stderr);
        if (const int error = WriteAll(fd, bytes); error != 0) {
          throw FailureError("cannot write '" + path + "': " + std::strerror(error));
        }
        return;
      }
    }
  }
  // A symbolic link to a file: the file it names is replaced whole, and the
  // link stays.
  std::string target = path;
  if (exists && S_ISLNK(existing.st_mode)) {
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
      exists = stat(target.c_str(), &existing) == 0;
    }
  }
  if (exists && !S_ISREG(existing.st_mode)) {
    WriteInPlace(path, bytes);
    return;
  }
  // A file the caller may not write is refused, as the shell's ">" refuses
  // it: renaming over it would need only the folder's permission. Opened
  // for writing without truncating, so nothing changes yet.
  if (exists) {
    const int check = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (check < 0) throw FailureError("cannot write '" + path + "': " + std::strerror(errno));
    close(check);
  }
  const SignalsHeld held;  // no temporary file left behind by Ctrl-C
  const std::string temporary = target + ".kelcache-" + std::to_string(getpid()) + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw FailureError("cannot open '" + path + "' for writing: " + std::strerror(errno));
  int error = WriteAll(fd, bytes);
  if (error == 0 && exists && fchmod(fd, existing.st_mode & 07777) != 0) error = errno;
  // Run as root over another user's file, that user keeps it.
  if (error == 0 && exists && geteuid() == 0 && fchown(fd, existing.st_uid, existing.st_gid) != 0) error = errno;
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    throw FailureError("cannot write '" + path + "': " + std::strerror(error));
  }
}

void PrintLine(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fputc('\n', stdout) == EOF ||
      std::fflush(stdout) != 0) {
    throw FailureError(std::string("cannot write stdout: ") + std::strerror(errno));
  }
}

TString KeyFromArgument(const std::string& argument, bool escaped, const char* what) {
  std::string bytes = argument;
  if (escaped) {
    std::string error;
    std::optional<std::string> unescaped = UnescapeBytes(argument, &error);
    if (!unescaped) throw UsageError(std::string(what) + " '" + EscapeBytes(argument) + "' is not a valid escaped text (" + error + ")");
    bytes = std::move(*unescaped);
  }
  if (!IsValidUtf8(bytes)) {
    throw UsageError(std::string(what) + " '" + EscapeBytes(bytes) +
                     "' is not UTF-8 text; the library's keys are text, so the library cannot name an "
                     "entry under it (one that another program wrote is listed, but cannot be addressed)");
  }
  return TString::fromStdString(bytes);
}

std::string ShowKey(std::string_view bytes) {
  return EscapeBytes(bytes);
}

void AddJsonKey(JsonWriter& json, std::string_view bytes) {
  json.Key("key").String(bytes);
  if (!IsValidUtf8(bytes)) json.Key("key_hex").String(HexBytes(bytes));
}

}  // namespace kelcache_cli
