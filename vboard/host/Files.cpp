#include "host/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard {

namespace {
constexpr uint64_t kPieceSize = 1 << 20;

[[noreturn]] void Fail (const std::string &What, const std::string &Path, int Error) {
  throw std::runtime_error ("cannot " + What + " " + Path + ": " + std::strerror (Error));
}
}  // namespace

std::vector<uint8_t> ReadWholeFile (const std::string &Path) {
  int Fd = ::open (Path.c_str (), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) Fail ("open", Path, errno);
  struct stat St;
  if (::fstat (Fd, &St) != 0 || !S_ISREG (St.st_mode)) {
    int Error = S_ISDIR (St.st_mode) ? EISDIR : errno;
    ::close (Fd);
    Fail ("read", Path, Error);
  }
  std::vector<uint8_t> Bytes;
  uint8_t Chunk[65536];
  for (;;) {
    ssize_t N = ::read (Fd, Chunk, sizeof (Chunk));
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) {
      int Error = errno;
      ::close (Fd);
      Fail ("read", Path, Error);
    }
    if (N == 0) break;
    Bytes.insert (Bytes.end (), Chunk, Chunk + N);
  }
  ::close (Fd);
  return Bytes;
}

namespace {

// Writes Length bytes at Data to Fd; returns 0 or the errno of the failure.
int WriteAll (int Fd, const uint8_t *Data, size_t Length) {
  for (size_t Done = 0; Done < Length;) {
    ssize_t N = ::write (Fd, Data + Done, Length - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return N < 0 ? errno : EIO;
    Done += static_cast<size_t> (N);
  }
  return 0;
}

// Path gets what Body writes to the descriptor it is handed (0 or an errno
// back), through a temporary file that replaces Path only once complete.
void ReplaceFile (const std::string &Path, const std::function<int (int Fd)> &Body) {
  std::string Temporary = Path + ".XXXXXX";
  int Fd = ::mkstemp (Temporary.data ());
  if (Fd < 0) Fail ("write", Path, errno);
  int Error = Body (Fd);
  // The new file keeps the permissions an ordinary create would give it.
  mode_t Mask = ::umask (0);
  ::umask (Mask);
  if (Error == 0 && ::fchmod (Fd, 0666 & ~Mask) != 0) Error = errno;
  if (Error == 0 && ::fsync (Fd) != 0) Error = errno;
  if (::close (Fd) != 0 && Error == 0) Error = errno;
  if (Error == 0 && ::rename (Temporary.c_str (), Path.c_str ()) != 0) Error = errno;
  if (Error != 0) {
    ::unlink (Temporary.c_str ());
    Fail ("write", Path, Error);
  }
}

}  // namespace

void WriteWholeFile (const std::string &Path, uint64_t Size, const FileFiller &Fill) {
  ReplaceFile (Path, [Size, &Fill] (int Fd) {
    // One piece at a time through a buffer that stays in cache: a 16 MiB
    // image assembled whole would cost the host as many fresh pages.
    std::vector<uint8_t> Piece (static_cast<size_t> (std::min<uint64_t> (Size, kPieceSize)));
    for (uint64_t Offset = 0; Offset < Size; Offset += Piece.size ()) {
      size_t Length = static_cast<size_t> (std::min<uint64_t> (Size - Offset, Piece.size ()));
      Fill (Offset, Piece.data (), Length);
      if (int Error = WriteAll (Fd, Piece.data (), Length)) return Error;
    }
    return 0;
  });
}

void WriteWholeFile (const std::string &Path, const std::vector<uint8_t> &Bytes) {
  ReplaceFile (Path, [&Bytes] (int Fd) { return WriteAll (Fd, Bytes.data (), Bytes.size ()); });
}

void WriteWholeFile (const std::string &Path, const std::string &Text) {
  WriteWholeFile (Path, std::vector<uint8_t> (Text.begin (), Text.end ()));
}

bool BuildOutputExists (const std::string &Path) {
  static std::mutex Lock;
  static std::map<std::string, bool> Known;
  std::lock_guard<std::mutex> Hold (Lock);
  auto It = Known.find (Path);
  if (It != Known.end ()) return It->second;
  struct stat St;
  bool Exists = ::stat (Path.c_str (), &St) == 0 && S_ISREG (St.st_mode);
  Known.emplace (Path, Exists);
  return Exists;
}

}  // namespace vboard
