// Running test code as an unprivileged user, for tests of permissions that
// root would pass whatever the permission bits say.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace quilvar::testing {

// The user "nobody".
inline constexpr uid_t kNobody = 65534;

// Whether the test can run code as an unprivileged user: root can take
// the user's identity where the user namespace maps it; anyone else is
// unprivileged already.
inline bool can_run_as(uid_t user) {
  if (::geteuid() != 0) return true;
  const pid_t child = ::fork();
  if (child == 0) std::_Exit(::setuid(user) == 0 ? 0 : 1);
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace quilvar::testing
