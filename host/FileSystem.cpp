#include "host/FileSystem.h"

#include "host/LocalTimeLock.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>

#include "host/FileErrors.h"
#include "host/TMutex.h"

namespace fs = std::filesystem;

// ---- TFileException -------------------------------------------------------

namespace {

TError::StatusCode StatusFor(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory) return TError::StatusCode::NOT_FOUND;
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
    return TError::StatusCode::PERMISSION_DENIED;
  }
  if (error == std::errc::file_exists) return TError::StatusCode::ALREADY_EXISTS;
  if (error == std::errc::no_space_on_device || error.value() == EDQUOT) {
    return TError::StatusCode::RESOURCE_EXHAUSTED;
  }
  if (error == std::errc::is_a_directory || error == std::errc::not_a_directory ||
      error == std::errc::directory_not_empty) {
    return TError::StatusCode::FAILED_PRECONDITION;
  }
  return TError::StatusCode::UNKNOWN;
}

TString ErrorText(const std::error_code& error) {
  return TString::fromStdString(error.message());
}

}  // namespace

TFileException::TFileException(const TString& operation, const TString& path, std::error_code error)
    : KelvraException(
          operation + u" '" + path + u"': " + ErrorText(error),
          TError::ErrorInfo(KelvraError::MakeError(static_cast<uint32_t>(error.value()), ErrorText(error)),
                            path, StatusFor(error))),
      m_path(path),
      m_error(error) {}

TFileException::~TFileException() = default;

TFileException TFileException::FromErrno(const TString& operation, const TString& path) {
  return TFileException(operation, path, std::error_code(errno, std::generic_category()));
}

// ---- Local time <-> system time --------------------------------------------

namespace {

// The UTC instant at which the local clock reads localTime; nothing when the
// C library cannot convert it.
std::optional<std::chrono::system_clock::time_point> LocalToSystem(const DateTime& localTime) {
  // Read as if it were UTC, the representation gives the local clock's
  // calendar fields; mktime turns those fields into the UTC instant.
  std::chrono::system_clock::time_point asIfUtc = localTime.ToSystemTime();
  auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(asIfUtc.time_since_epoch());
  auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  std::chrono::milliseconds rest = sinceEpoch - seconds;
  std::time_t fieldsAsUtc = static_cast<std::time_t>(seconds.count());
  std::tm fields{};
  if (gmtime_r(&fieldsAsUtc, &fields) == nullptr) return std::nullopt;
  fields.tm_isdst = -1;  // let the zone's rules decide whether daylight saving applies
  // mktime's -1 is also the answer for 1969-12-31 23:59:59 UTC: success is
  // told by the day of the week it fills in.
  fields.tm_wday = -1;
  std::time_t utc;
  {
    TMutexLock lock(host_internal::LocalTimeMutex());
    utc = std::mktime(&fields);
  }
  if (fields.tm_wday == -1) return std::nullopt;
  return std::chrono::system_clock::from_time_t(utc) + rest;
}

}  // namespace

// ---- Questions and changes -------------------------------------------------

bool FileExists(const TPath& path) {
  std::error_code error;
  return fs::is_regular_file(path.ToStdPath(), error);
}

bool DirectoryExists(const TPath& path) {
  std::error_code error;
  return fs::is_directory(path.ToStdPath(), error);
}

bool CreateDirectory(const TPath& path) {
  std::error_code error;
  return CreateDirectory(path, error);
}

bool CreateDirectory(const TPath& path, std::error_code& error) {
  fs::path folder = path.ToStdPath();
  fs::create_directories(folder, error);
  // Whatever create_directories reported, the question is whether the folder
  // is there now: another thread may have made it (or a part of it) first.
  std::error_code statError;
  if (fs::is_directory(folder, statError)) {
    error.clear();
    return true;
  }
  // Something else is there, or the check itself failed.
  if (!error) error = statError ? statError : std::make_error_code(std::errc::not_a_directory);
  return false;
}

bool RemovePath(const TPath& path) {
  std::error_code error;
  return RemovePath(path, error);
}

bool RemovePath(const TPath& path, std::error_code& error) {
  return fs::remove(path.ToStdPath(), error) && !error;
}

bool RemovePathRecursively(const TPath& path) {
  std::error_code error;
  return RemovePathRecursively(path, error);
}

bool RemovePathRecursively(const TPath& path, std::error_code& error) {
  // "a/link/" and "a/link/." name the folder the link points to, whose
  // content remove_all would remove before failing on the link: they mean
  // the link here, as "a/link" does. So trailing separators and "."
  // components go (not from "/", nor from a path that is nothing else).
  fs::path target = path.ToStdPath();
  for (;;) {
    const std::string& text = target.native();
    if (text.size() > 1 && text.back() == '/') {
      target = fs::path(text.substr(0, text.size() - 1));
    } else if (text.size() > 2 && text.ends_with("/.")) {
      target = fs::path(text.substr(0, text.size() - 2));
    } else {
      break;
    }
  }
  // A concurrent writer may add a file to a folder that is being emptied (the
  // folder's removal then fails with "not empty"); a few attempts settle it.
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    error.clear();
    fs::remove_all(target, error);
    if (!error) return true;
    std::error_code statError;
    if (!fs::exists(fs::symlink_status(target, statError))) {  // gone, if not by us
      error.clear();
      return true;
    }
  }
  return false;
}

bool LastWriteTime(const TPath& path, const DateTime& localTime) {
  // The system clock holds nanoseconds from 1970 (the years 1678 to 2262) and
  // the file clock nanoseconds from 2174 (1882 to 2466): a time outside the
  // years 1900 to 2200 is refused rather than wrapped round to another date,
  // before any conversion (the zone's offset, up to a day, stays inside too).
  constexpr uint64_t kEarliest = DateTime::kUnixEpochMilliseconds - 2208988800000ULL;  // 1900-01-01
  constexpr uint64_t kLatest = DateTime::kUnixEpochMilliseconds + 7258118400000ULL;    // 2200-01-01
  if (localTime.GetRepresentation() < kEarliest || localTime.GetRepresentation() >= kLatest) return false;
  const std::optional<std::chrono::system_clock::time_point> instant = LocalToSystem(localTime);
  if (!instant) return false;
  auto fileTime = std::chrono::file_clock::from_sys(*instant);
  const auto wanted = std::chrono::time_point_cast<fs::file_time_type::duration>(fileTime);
  std::error_code error;
  fs::last_write_time(path.ToStdPath(), wanted, error);
  if (error) return false;
  // A file system holds a narrower range than that (ext4 without large
  // inodes: 1901 to 2038) and quietly clamps a time beyond it: read it back.
  // Two seconds of slack for file systems that keep coarse times (FAT).
  const fs::file_time_type held = fs::last_write_time(path.ToStdPath(), error);
  return !error && held - wanted < std::chrono::seconds(2) && wanted - held < std::chrono::seconds(2);
}

DateTime GetLastWriteTime(const TPath& path) {
  struct stat info {};
  if (::stat(path.ToStdPath().c_str(), &info) != 0) {
    throw TFileException(u"Cannot read the last-write time of", path,
                         std::error_code(errno, std::generic_category()));
  }
  std::optional<DateTime> local;
  if (const auto instant = FileTimeInstant(info.st_mtim)) local = LocalReadingAt(*instant);
  if (!local) {
    throw TFileException(u"Cannot read the last-write time of", path,
                         std::make_error_code(std::errc::value_too_large));
  }
  return *local;
}

std::optional<std::chrono::sys_time<std::chrono::milliseconds>> FileTimeInstant(const timespec& time) {
  constexpr int64_t kLimitSeconds = std::numeric_limits<int64_t>::max() / 1000 - 86400;
  if (time.tv_sec > kLimitSeconds || time.tv_sec < -kLimitSeconds) return std::nullopt;
  return std::chrono::sys_time<std::chrono::milliseconds>(
      std::chrono::milliseconds(static_cast<int64_t>(time.tv_sec) * 1000 + time.tv_nsec / 1000000));
}

std::optional<DateTime> LocalReadingAt(std::chrono::sys_time<std::chrono::milliseconds> instant) {
  const int64_t since = instant.time_since_epoch().count();
  // The offset at the second that holds the moment (rounded down, also
  // before 1970).
  const int64_t second = since / 1000 - (since % 1000 < 0 ? 1 : 0);
  const int64_t local =
      since + int64_t{1000} * DateTime::LocalUtcOffsetSeconds(static_cast<std::time_t>(second));
  if (local < -static_cast<int64_t>(DateTime::kUnixEpochMilliseconds)) return std::nullopt;
  return DateTime::FromValue(DateTime::kUnixEpochMilliseconds + static_cast<uint64_t>(local));
}
