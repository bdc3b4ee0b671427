// Stand-in for the application's `backend` and `frontend`, chosen by the name
// it is started under. It records what it was given to "<name>.record" beside
// itself and behaves as "<name>.behaviour" (also beside itself) says:
//
//   backend:  listen [delay_ms]        listen on 127.0.0.1:3000, end on SIGTERM
//             never                    never listen, end on SIGTERM
//             ignore-term              listen, ignore SIGTERM
//             exit-after-ready ms      listen, then exit 0 after ms
//             exit code [delay_ms]     exit without listening
//             signal number            die by the signal without listening
//   frontend: exit code [delay_ms]     (the default is "exit 0")
//             signal number
//             until-signal [code]      wait for SIGTERM, SIGINT or SIGHUP, then
//                                      die by it, or exit with code if given
//
// Records are lines "key value"; events ("event ready", "event SIGTERM")
// are appended as they happen.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "double_support.h"
#include "files.h"

extern char** environ;

namespace {

using namespace test_support;

std::string record_path;

void append(const std::string& line) { append_line(record_path, line); }

// Taken before the double opens anything of its own.
std::string open_descriptors() {
#ifdef __linux__
  const char* listing = "/proc/self/fd";
#else
  const char* listing = "/dev/fd";
#endif
  std::vector<int> fds;
  DIR* dir = ::opendir(listing);
  if (!dir) return "unknown";
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != ::dirfd(dir)) fds.push_back(fd);
  }
  ::closedir(dir);
  std::string text;
  for (int fd : fds) text += (text.empty() ? "" : " ") + std::to_string(fd);
  return text;
}

std::string signal_list(bool blocked) {
  sigset_t mask;
  sigemptyset(&mask);
  if (blocked) sigprocmask(SIG_BLOCK, nullptr, &mask);
  std::string text;
  for (int sig = 1; sig < 32; ++sig) {
    bool listed = false;
    if (blocked) {
      listed = sigismember(&mask, sig) == 1;
    } else {
      struct sigaction action;
      listed = sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
    }
    if (listed) text += (text.empty() ? "" : " ") + std::to_string(sig);
  }
  return text.empty() ? "none" : text;
}

// One write, so that a record that can be read is complete.
void record_start(int argc, char** argv, const std::string& fds, const std::string& blocked,
                  const std::string& ignored) {
  std::string text;
  auto line = [&text](const std::string& key, const std::string& value) {
    text += key + " " + value + "\n";
  };
  line("pid", std::to_string(::getpid()));
  line("ppid", std::to_string(::getppid()));
  line("pgid", std::to_string(::getpgid(0)));
  char cwd[PATH_MAX];
  line("cwd", ::getcwd(cwd, sizeof cwd) ? cwd : "unknown");
  for (int i = 0; i < argc; ++i) line("arg", argv[i]);
  line("fds", fds);
  for (int fd = 0; fd <= 2; ++fd) line("fd" + std::to_string(fd), identity_of_fd(fd));
  line("blocked", blocked);
  line("ignored", ignored);
  for (char** entry = environ; *entry; ++entry) line("env", *entry);
  text.pop_back();
  append(text);
}

void sleep_ms(long ms) {
  if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000);
}

void listen_or_exit() {
  if (auto failed = listen_on_backend_port(AF_INET)) {
    append("event listen-failed " + *failed);
    ::_exit(70);
  }
  append("event ready");
}

bool backend_accepting() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(3000);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  int fd = cloexec_tcp_socket(AF_INET);
  bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

[[noreturn]] void serve_until_terminated() {
  wait_for_sigterm();
  append("event SIGTERM");
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string fds = open_descriptors();
  const auto [dir, role] = double_name(argv[0]);
  record_path = dir + "/" + role + ".record";

  std::string blocked = signal_list(true);
  std::string ignored = signal_list(false);
  hold_sigterm();
  // Held from the start too, so that one sent once the record is there is
  // never missed.
  sigset_t interruptions;
  sigemptyset(&interruptions);
  sigaddset(&interruptions, SIGINT);
  sigaddset(&interruptions, SIGHUP);
  if (role == "frontend") sigprocmask(SIG_BLOCK, &interruptions, nullptr);
  record_start(argc, argv, fds, blocked, ignored);

  std::string command = role == "backend" ? "listen" : "exit";
  long first = 0, second = 0;
  std::ifstream behaviour(dir + "/" + role + ".behaviour");
  if (behaviour) behaviour >> command >> first >> second;

  if (command == "exit") {
    sleep_ms(second);
    if (role == "frontend") {
      append(std::string("event backend-") + (backend_accepting() ? "accepting" : "silent"));
    }
    append("event exiting " + std::to_string(first));
    return static_cast<int>(first);
  }
  if (command == "signal") {
    append("event dying " + std::to_string(first));
    die_by(static_cast<int>(first));
  }
  if (command == "until-signal") {
    sigset_t awaited = interruptions;
    sigaddset(&awaited, SIGTERM);
    int sig = 0;
    sigwait(&awaited, &sig);
    append(std::string("event ") + (sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "SIGHUP"));
    if (first != 0) return static_cast<int>(first);
    die_by(sig);
  }
  if (command == "never") serve_until_terminated();
  if (command == "ignore-term") {
    signal(SIGTERM, SIG_IGN);
    listen_or_exit();
    for (;;) ::pause();
  }
  if (command == "exit-after-ready") {
    listen_or_exit();
    release_sigterm();
    sleep_ms(first);
    append(sigterm_arrived() ? "event SIGTERM" : "event exiting 0");
    return 0;
  }
  // listen
  sleep_ms(first);
  listen_or_exit();
  serve_until_terminated();
}
