#include "host/Snapshot.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace vboard {

namespace {

bool WriteAll (int Fd, const char *Data, size_t Size) {
  while (Size > 0) {
    ssize_t N = write (Fd, Data, Size);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Data += N;
    Size -= static_cast<size_t> (N);
  }
  return true;
}

}  // namespace

CopyOutcome RunInCopy (const std::function<std::string ()> &Work) {
  int Pipe[2];
  if (pipe2 (Pipe, O_CLOEXEC) != 0) throw std::runtime_error (std::string ("pipe: ") + std::strerror (errno));
  pid_t Child = fork ();
  if (Child < 0) {
    int Saved = errno;
    close (Pipe[0]);
    close (Pipe[1]);
    throw std::runtime_error (std::string ("fork: ") + std::strerror (Saved));
  }
  if (Child == 0) {
    close (Pipe[0]);
    // The first byte says how the work ended: R returned, E threw.
    std::string Out;
    try {
      Out = "R" + Work ();
    } catch (const std::exception &E) {
      Out = std::string ("E") + E.what ();
    } catch (...) {
      Out = "Ean exception of unknown type";
    }
    _exit (WriteAll (Pipe[1], Out.data (), Out.size ()) ? 0 : 3);
  }
  close (Pipe[1]);
  std::string In;
  char Buffer[65536];
  for (;;) {
    ssize_t N = read (Pipe[0], Buffer, sizeof (Buffer));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    In.append (Buffer, static_cast<size_t> (N));
  }
  close (Pipe[0]);
  int Status = 0;
  while (waitpid (Child, &Status, 0) < 0 && errno == EINTR) {
  }
  CopyOutcome O;
  if (WIFSIGNALED (Status)) {
    O.Failure = std::string ("the run was killed by signal ") + strsignal (WTERMSIG (Status));
  } else if (!WIFEXITED (Status) || WEXITSTATUS (Status) != 0 || In.empty ()) {
    O.Failure = "the run ended without a result (exit status " + std::to_string (WEXITSTATUS (Status)) + ")";
  } else if (In[0] == 'E') {
    O.Failure = In.substr (1);
  } else {
    O.Result = In.substr (1);
  }
  return O;
}

}  // namespace vboard
