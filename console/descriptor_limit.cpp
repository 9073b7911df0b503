// Raising the soft descriptor limit to the hard one: see descriptor_limit.h.
#include "console/descriptor_limit.h"

rlim_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    // Refused only for a hard limit the kernel cannot give (above
    // fs.nr_open); the old soft limit then stays.
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
  }
  return limit.rlim_cur;
}
