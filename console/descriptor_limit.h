// The descriptor limit a busy bench needs: raised at start by both front
// ends.
#pragma once

#include <sys/resource.h>

/// Raises the soft limit on open descriptors to the hard limit (a login or
/// a service usually gets 1024 soft with a far higher hard limit), so that
/// every device in transfer can hold its reserved socket. Nothing here
/// waits on descriptors with select(), which is what the low soft default
/// protects. Returns the soft limit now in force.
rlim_t RaiseDescriptorLimit();
