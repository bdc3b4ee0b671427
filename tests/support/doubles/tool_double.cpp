// A test double for one macOS tool, configured per case through files beside
// the path it was started as (argv[0]):
//   ARGV0.outcomes  per invocation: "0", "1", ... (exit code) or "k9" (killed
//                   by that signal); the last one repeats; none means 0
//   ARGV0.err_fill  a number of filler bytes written to standard error first
//   ARGV0.out.N / ARGV0.out   bytes for standard output (invocation N first)
//   ARGV0.err       bytes for standard error
// and recording what it met:
//   ARGV0.calls     one line per invocation: its argv, joined by tabs
//   ARGV0.seen.N    its open descriptors, what its standard streams are,
//                   its process and session IDs and working directory
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"

namespace {

// Taken before the double opens anything itself.
std::string what_was_inherited() {
  std::string fds;
  for (int fd = 0; fd < 1024; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) fds += (fds.empty() ? "" : " ") + std::to_string(fd);
  }
  char cwd[PATH_MAX] = "?";
  if (!::getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
  std::ostringstream seen;
  seen << "fds: " << fds << "\n"
       << "stdin: " << test_support::identity_of_fd(0) << "\nstdout: " << test_support::identity_of_fd(1) << "\nstderr: " << test_support::identity_of_fd(2)
       << "\npid: " << ::getpid() << "\nsid: " << ::getsid(0) << "\ncwd: " << cwd << "\n";
  return seen.str();
}

bool read_file(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  content = bytes.str();
  return true;
}

void write_fd(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int count_lines(const std::string& path) {
  std::string text;
  if (!read_file(path, text)) return 0;
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  std::string seen = what_was_inherited();
  std::string base = argv[0];

  std::string call;
  for (int i = 0; i < argc; ++i) call += (i ? "\t" : "") + std::string(argv[i]);
  { std::ofstream(base + ".calls", std::ios::app) << call << "\n"; }
  int invocation = count_lines(base + ".calls");

  // Written whole, then renamed, so that a reader never sees half a record.
  std::string seen_path = base + ".seen." + std::to_string(invocation);
  { std::ofstream(seen_path + ".tmp") << seen; }
  std::rename((seen_path + ".tmp").c_str(), seen_path.c_str());

  std::string text;
  if (read_file(base + ".err_fill", text)) write_fd(2, std::string(std::stoul(text), 'e'));
  if (read_file(base + ".out." + std::to_string(invocation), text) || read_file(base + ".out", text)) {
    write_fd(1, text);
  }
  if (read_file(base + ".err", text)) write_fd(2, text);

  std::vector<std::string> outcomes;
  if (read_file(base + ".outcomes", text)) {
    std::istringstream words(text);
    for (std::string word; words >> word;) outcomes.push_back(word);
  }
  std::string outcome = outcomes.empty() ? "0"
                        : static_cast<size_t>(invocation) <= outcomes.size()
                            ? outcomes[static_cast<size_t>(invocation) - 1]
                            : outcomes.back();
  if (outcome[0] == 'k') {
    int signal = std::atoi(outcome.c_str() + 1);
    ::signal(signal, SIG_DFL);
    ::kill(::getpid(), signal);
    ::pause();
  }
  return std::atoi(outcome.c_str());
}
