#include "main/caching/DiskExternalCacheEntry.h"

#include <sys/xattr.h>

#include <cerrno>

#include "host/FileDescriptor.h"
#include "host/ValueBufferPool.h"
#include "main/caching/DiskExternalCacheChecksum.h"

namespace kelvra::caching {

namespace {

void PutLittleEndian(uint64_t value, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittleEndian(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

DiskValueRead Failed(DiskValueRead read, const char16_t* operation, int error) {
  read.state = DiskValueRead::State::Failed;
  read.operation = operation;
  read.error = error;
  return read;
}

DiskValueRead Damaged(DiskValueRead read, TString why) {
  read.state = DiskValueRead::State::Damaged;
  read.damage = std::move(why);
  return read;
}

TString LengthDamage(uint64_t actual, uint64_t stored) {
  return u"its value file holds " + TString::number(actual) + u" bytes where " + TString::number(stored) +
         u" were stored";
}

const TString& UnreadableRecord() {
  // Never destroyed: loads on task threads may still run while the process exits.
  static const TString& kText =
      *new TString(u"its value file's integrity record is in a form this version cannot read");
  return kText;
}

}  // namespace

DiskEntryFiles::DiskEntryFiles(const TPath& cachePath, const TString& keyHash)
    : folder(cachePath / TPath(keyHash)),
      keyFile(folder / TPath(u".key")),
      valueFile(folder / TPath(u".bin")),
      name(keyHash.toStdString()),
      keyName(name + "/.key"),
      valueName(name + "/.bin"),
      lockByte(keyHash.toULongLong(nullptr, 10)) {}

uint64_t DiskIntegrityRecord::KeyChecksum(const std::string& keyText) {
  return DiskValueChecksum(keyText.data(), keyText.size());
}

DiskIntegrityRecord DiskIntegrityRecord::Of(const void* bytes, size_t length, uint64_t keyChecksum) {
  DiskIntegrityRecord record;
  record.length = length;
  record.checksum = DiskValueChecksum(bytes, length);
  record.keyChecksum = keyChecksum;
  return record;
}

std::array<uint8_t, DiskIntegrityRecord::kEncodedSize> DiskIntegrityRecord::Encode() const {
  std::array<uint8_t, kEncodedSize> encoded{};
  encoded[0] = kForm;
  PutLittleEndian(length, encoded.data() + 1);
  PutLittleEndian(checksum, encoded.data() + 9);
  PutLittleEndian(keyChecksum, encoded.data() + 17);
  return encoded;
}

DiskValueRead ReadDiskValue(int fd, uint64_t keyChecksum, uint64_t unverifiedLimit) {
  DiskValueRead read;
  if (::fstat(fd, &read.info) != 0) return Failed(std::move(read), u"Cannot read file", errno);
  if (!S_ISREG(read.info.st_mode)) {
    read.state = DiskValueRead::State::NotRegular;
    return read;
  }

  // An attribute longer than the record (another form, or garbage) does not
  // fit: ERANGE, a record this version cannot read, as a shorter one is.
  uint8_t attribute[DiskIntegrityRecord::kEncodedSize];
  const ssize_t attributeSize =
      ::fgetxattr(fd, DiskIntegrityRecord::kAttributeName, attribute, sizeof(attribute));
  bool recorded = false;
  DiskIntegrityRecord expected;
  if (attributeSize >= 0) {
    const size_t recordSize = static_cast<size_t>(attributeSize);
    const bool keyed = recordSize == DiskIntegrityRecord::kEncodedSize && attribute[0] == DiskIntegrityRecord::kForm;
    const bool keyless = recordSize == DiskIntegrityRecord::kKeylessEncodedSize &&
                         attribute[0] == DiskIntegrityRecord::kKeylessForm;
    if (!keyed && !keyless) return Damaged(std::move(read), UnreadableRecord());
    recorded = true;
    expected.length = GetLittleEndian(attribute + 1);
    expected.checksum = GetLittleEndian(attribute + 9);
    if (keyed && GetLittleEndian(attribute + 17) != keyChecksum) {
      read.state = DiskValueRead::State::OtherKey;
      read.damage = TString(u"its value file was stored under another key");
      return read;
    }
  } else if (errno == ERANGE) {
    return Damaged(std::move(read), UnreadableRecord());
  } else if (errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP) {
    // ENODATA: no record (an older version's file, or one made by hand).
    // ENOTSUP: a file system without user attributes, where none was set.
    return Failed(std::move(read), u"Cannot read the integrity record of", errno);
  }

  const uint64_t size = static_cast<uint64_t>(read.info.st_size);
  if (recorded && size != expected.length) {
    return Damaged(std::move(read), LengthDamage(size, expected.length));
  }
  if (!recorded && size >= unverifiedLimit) {
    return Damaged(std::move(read), u"its value file has no integrity record and holds " + TString::number(size) +
                                        u" bytes, too many for a value of this cache (it stores fewer than " +
                                        TString::number(unverifiedLimit) + u")");
  }
  // A value file is never written in place: stores write a temporary file
  // and rename it. So the open file keeps the size fstat gave, and the value
  // is read into a buffer of that size in one read. The buffer comes from
  // ValueBufferPool, so that a recycled one is read into as it is: a new
  // std::vector is filled with zeros first, about a fifth of the read at
  // 1 MiB. (Copying from an mmap of the file instead measured slower at
  // every size from 4 KiB to 4 MiB: the page faults and the unmapping cost
  // more than the zeroing.)
  std::shared_ptr<std::vector<uint8_t>> bytes = ValueBufferPool::MakeBuffer(static_cast<size_t>(size));
  const ssize_t n = ReadUpTo(fd, bytes->data(), bytes->size());
  if (n < 0) return Failed(std::move(read), u"Cannot read file", errno);
  // Shorter only when someone cut the file in place; what is there is read.
  bytes->resize(static_cast<size_t>(n));
  if (recorded) {
    if (bytes->size() != expected.length) {
      return Damaged(std::move(read), LengthDamage(bytes->size(), expected.length));
    }
    if (DiskValueChecksum(bytes->data(), bytes->size()) != expected.checksum) {
      return Damaged(std::move(read),
                     TString(u"its value file's checksum differs from the one stored with it"));
    }
  }
  read.state = recorded ? DiskValueRead::State::Whole : DiskValueRead::State::Unverified;
  read.bytes = std::move(bytes);
  return read;
}

int ReadWholeFile(int fd, std::string* content) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ReadSomeBytes(fd, chunk, sizeof(chunk));
    if (n < 0) return errno;
    if (n == 0) return 0;
    content->append(chunk, static_cast<size_t>(n));
  }
}

DiskKeyRead ReadDiskKey(int dirFd, const char* keyName) {
  DiskKeyRead read;
  const auto fail = [&read](const char16_t* operation, int error) {
    read.outcome = DiskKeyRead::Outcome::Failed;
    read.operation = operation;
    read.error = error;
    return read;
  };
  FileDescriptor file(OpenFileAt(dirFd, keyName, kEntryReadFlags));
  if (!file) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return read;
    return fail(u"Cannot open file", error);
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) return fail(u"Cannot read file", errno);
  if (!S_ISREG(info.st_mode)) {
    read.outcome = DiskKeyRead::Outcome::NotRegular;
    return read;
  }
  if (const int error = ReadWholeFile(file.Get(), &read.bytes); error != 0) return fail(u"Cannot read file", error);
  read.outcome = DiskKeyRead::Outcome::Read;
  return read;
}

}  // namespace kelvra::caching
