// A network of the test process's own, in which 127.0.0.1:3000 belongs to it
// alone, so that tests that need the backend's port can run in parallel.
#pragma once

#include <optional>
#include <string>

namespace test_support {

// Moves this process into a new network namespace with its loopback up (as
// root a network namespace is enough; otherwise a user namespace mapping the
// caller to root comes with it, as `unshare -rn` does). Call it before any
// thread starts. Nothing on success, or why it could not be done (always,
// off Linux).
std::optional<std::string> enter_private_network();

}  // namespace test_support
