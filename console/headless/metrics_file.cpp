// Replacing a file atomically: a unique temporary file in the same folder
// (a rename does not cross file systems), written whole, then renamed.
#include "console/headless/metrics_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string ReplaceFileAtomically(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // A name of our own making with O_EXCL (mkstemp): in a folder others may
  // write, nobody's link is followed.
  std::string temp = folder + "/." + base + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return std::string("cannot create a file in '") + folder + "': " + std::strerror(errno);
  auto fail = [&](const char* what) {
    const std::string why = std::string(what) + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return why;
  };
  // The collector runs as another user.
  if (fchmod(fd, 0644) != 0) {
    const std::string why = fail("cannot make it readable");
    close(fd);
    return why;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      const std::string why = fail("cannot write");
      close(fd);
      return why;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) return fail("cannot write");
  if (rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename over it");
  return {};
}
