#include "host/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vboard {

namespace {
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

void WriteWholeFile (const std::string &Path, const std::vector<uint8_t> &Bytes) {
  std::string Temporary = Path + ".XXXXXX";
  int Fd = ::mkstemp (Temporary.data ());
  if (Fd < 0) Fail ("write", Path, errno);
  int Error = 0;
  for (size_t Done = 0; Done < Bytes.size () && Error == 0;) {
    ssize_t N = ::write (Fd, Bytes.data () + Done, Bytes.size () - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      Error = N < 0 ? errno : EIO;
    } else {
      Done += static_cast<size_t> (N);
    }
  }
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

void WriteWholeFile (const std::string &Path, const std::string &Text) {
  WriteWholeFile (Path, std::vector<uint8_t> (Text.begin (), Text.end ()));
}

}  // namespace vboard
