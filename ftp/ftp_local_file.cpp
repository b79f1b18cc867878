#include "ftp/ftp_local_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Share modes as advisory open-file-description locks: other clients of the
// same locks (our own transfers, in this or another process) are denied, other
// programs are not. A mode that denies anything locks the whole file: a
// download, which writes, with a write lock, so that no other transfer of ours
// reads or writes the file meanwhile (two downloads into one file would mix
// their bytes); an upload, which only reads, with a read lock, which keeps
// writers out and lets other readers in.
enum class LockKind { None, Read, Write };

LockKind LockForShareWord(std::uint32_t Word, bool Writable) {
  switch (Word) {
    case 0x10:  // ftpShareExclusive
    case 0x20:  // ftpShareDenyWrite
    case 0x30:  // ftpShareDenyRead
      return Writable ? LockKind::Write : LockKind::Read;
    default:  // ftpShareCompat, ftpShareDenyNone
      return LockKind::None;
  }
}

// False only when another holder of our locks denies us the file. A file
// system without these locks leaves the file unlocked: the locks are
// advisory, and refusing every transfer there would help nobody.
bool LockFile(int Fd, LockKind Kind) {
  if (Kind == LockKind::None) return true;
  struct flock fl {};
  fl.l_type = Kind == LockKind::Read ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // the whole file, however far it grows
  if (::fcntl(Fd, F_OFD_SETLK, &fl) == 0) return true;
  return errno != EAGAIN && errno != EACCES;
}

// Writes all of Len bytes; false with errno set on failure (disk full ...).
bool WriteAll(int Fd, const char* Data, std::size_t Len) {
  while (Len > 0) {
    const ssize_t n = ::write(Fd, Data, Len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    Data += n;
    Len -= static_cast<std::size_t>(n);
  }
  return true;
}

// Devices (/dev/null) and pipes have nothing to empty.
// An empty file is left alone: ext4 takes a truncation to zero for a file
// being replaced and pushes all of its new data to the disk at the close,
// which made the close of a fresh 200 MiB download last 130 ms.
bool EmptyRegularFile(int Fd) {
  struct stat st {};
  if (::fstat(Fd, &st) != 0) return false;
  return !S_ISREG(st.st_mode) || st.st_size == 0 || ::ftruncate(Fd, 0) == 0;
}

// Closes Fd keeping the errno of the failure that made us give it up.
bool GiveUp(int Fd) {
  const int err = errno;
  ::close(Fd);
  errno = err;
  return false;
}

}  // namespace

bool TFtpLocalFile::OpenForWrite(const std::string& Name, std::uint32_t ShareWord, std::int64_t Offset) {
  Close();
  const char* name = Name.c_str();
  int fd = -1;
  if (Offset <= 0) {
    // Locked before it is emptied: a file another transfer holds keeps its
    // bytes. (Compatibility mode takes no lock.)
    fd = ::open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (!LockFile(fd, LockForShareWord(ShareWord, true)) || !EmptyRegularFile(fd)) return GiveUp(fd);
  } else {
    fd = ::open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    if (!LockFile(fd, LockForShareWord(ShareWord, true)) || ::lseek(fd, static_cast<off_t>(Offset), SEEK_SET) < 0)
      return GiveUp(fd);
  }
  Adopt(fd, true);
  return true;
}

void TFtpLocalFile::Adopt(int Fd, bool ForWrite) {
  FFd = Fd;
  FForWrite = ForWrite;
  if (!FBlock) FBlock = std::make_unique<char[]>(BLOCK_SIZE);
  FLen = FPos = 0;
}

bool TFtpLocalFile::OpenForRead(const std::string& Name, std::uint32_t ShareWord, std::int64_t Offset) {
  Close();
  const int fd = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  if (!LockFile(fd, LockForShareWord(ShareWord, false)) ||
      (Offset > 0 && ::lseek(fd, static_cast<off_t>(Offset), SEEK_SET) < 0))
    return GiveUp(fd);
  Adopt(fd, false);
  return true;
}

char* TFtpLocalFile::WriteSpace(int Len) {
  if (FLen + Len > BLOCK_SIZE && !Flush()) return nullptr;
  return FBlock.get() + FLen;
}

bool TFtpLocalFile::Flush() {
  if (FFd < 0 || !FForWrite || FLen == 0) return true;
  const std::size_t len = static_cast<std::size_t>(FLen);
  FLen = 0;
  return WriteAll(FFd, FBlock.get(), len);
}

int TFtpLocalFile::ReadChunk(int Len, const char*& Data) {
  if (FPos == FLen) {
    ssize_t n;
    do {
      n = ::read(FFd, FBlock.get(), BLOCK_SIZE);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    FPos = 0;
    FLen = static_cast<int>(n);
  }
  const int n = Len < FLen - FPos ? Len : FLen - FPos;
  Data = FBlock.get() + FPos;
  FPos += n;
  return n;
}

bool TFtpLocalFile::Close() {
  if (FFd < 0) return true;
  const bool flushed = Flush();
  const int err = errno;
  const int fd = FFd;
  FFd = -1;
  FLen = FPos = 0;
  const bool closed = ::close(fd) == 0;
  if (!flushed) errno = err;
  return flushed && closed;
}
