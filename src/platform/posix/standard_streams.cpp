#include "platform/standard_streams.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace pelvaro {

void keep_standard_streams_apart() {
  // A standard error whose reader has gone must not end the run before its exit status: writes
  // there fail instead (the window's channel and the port never raise the signal either).
  ::signal(SIGPIPE, SIG_IGN);
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `stream` itself, as the ones below it are open by now.
    const int null = ::open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != stream) {
      ::dup2(null, stream);
      ::close(null);
    }
  }
}

}  // namespace pelvaro
