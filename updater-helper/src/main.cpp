// bundle_installer: installs a downloaded update of Zentrivale over the
// installed bundle once the running application has exited, or, with
// --verify-only, checks the update while the application still runs.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "arguments.h"
#include "child_process.h"
#include "tools.h"
#include "update.h"
#include "update_log.h"

namespace {

void write_to_stderr(const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A closed or broken standard error must not kill the installer halfway
  // through an update; the log file still receives every line.
  ::signal(SIGPIPE, SIG_IGN);
  // The application that started us may end its session or process group
  // as it quits; an installation cut off halfway must not follow from that.
  // setsid fails harmlessly where we lead a process group already.
  (void)::setsid();
  ::signal(SIGHUP, SIG_IGN);
  support::ensure_standard_streams_open();

  installer::Log log = installer::Log::open();

  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  support::Result<installer::Args> args = installer::parse_arguments(arguments);
  if (!args) {
    log.line("invalid arguments: " + args.error());
    write_to_stderr(args.error() + "\n");
    return 2;
  }

  const installer::Tools tools = installer::Tools::installed();
  const bool verify_only = args->verify_only;
  support::Result<void> outcome = verify_only
                                      ? installer::verify_update(args.value(), log, tools)
                                      : installer::run(args.value(), log, tools);
  if (!outcome) {
    log.line(std::string(verify_only ? "update verification failed: "
                                     : "update installation failed: ") +
             outcome.error());
    return 1;
  }
  log.line(verify_only ? "update verified; nothing was installed" : "update installed successfully");
  log.close();
  return 0;
}
