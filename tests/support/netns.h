// Network namespaces for integration tests: two namespaces joined by a veth
// pair, created per test and removed afterwards, also when the test fails.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "netns/netns_pair.h"

/// Skips the current test, with the reason, when namespaces cannot be made.
#define SKAV_REQUIRE_NETNS()                                  \
  do {                                                        \
    std::string why_ = NetnsUnavailable();                    \
    if (!why_.empty()) GTEST_SKIP() << why_;                  \
  } while (0)
