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

extern char** environ;

namespace {

volatile sig_atomic_t terminated = 0;
std::string record_path;

void on_sigterm(int) { terminated = 1; }

void append(const std::string& line) {
  int fd = ::open(record_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  (void)!::write(fd, text.data(), text.size());
  ::close(fd);
}

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

std::string file_identity(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "closed";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
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
  for (int fd = 0; fd <= 2; ++fd) line("fd" + std::to_string(fd), file_identity(fd));
  line("blocked", blocked);
  line("ignored", ignored);
  for (char** entry = environ; *entry; ++entry) line("env", *entry);
  text.pop_back();
  append(text);
}

void sleep_ms(long ms) {
  if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000);
}

int tcp_socket(sockaddr_in& address) {
  address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(3000);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);  // macOS has no SOCK_CLOEXEC
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

void listen_on_backend_port() {
  sockaddr_in address;
  int fd = tcp_socket(address);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    append(std::string("event listen-failed ") + std::strerror(errno));
    ::_exit(70);
  }
  append("event ready");
  // The descriptor stays open: the port is ours until the process ends.
}

bool backend_accepting() {
  sockaddr_in address;
  int fd = tcp_socket(address);
  bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

// Blocks until SIGTERM arrives (never, when it is ignored).
[[noreturn]] void serve_until_terminated() {
  sigset_t wait_mask;
  sigprocmask(SIG_BLOCK, nullptr, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  while (!terminated) sigsuspend(&wait_mask);
  append("event SIGTERM");
  std::exit(0);
}

[[noreturn]] void die_by(int sig) {
  append("event dying " + std::to_string(sig));
  signal(sig, SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, sig);
  sigprocmask(SIG_UNBLOCK, &mask, nullptr);
  ::kill(::getpid(), sig);
  ::_exit(99);
}

}  // namespace

int main(int argc, char** argv) {
  std::string fds = open_descriptors();
  std::string self = argv[0];
  size_t slash = self.rfind('/');
  std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
  std::string role = self.substr(slash == std::string::npos ? 0 : slash + 1);
  record_path = dir + "/" + role + ".record";

  std::string blocked = signal_list(true);
  std::string ignored = signal_list(false);
  // SIGTERM is held back from the start, so that it is never lost between a
  // test of the flag and the wait; once the record exists, SIGTERM is handled.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  struct sigaction action {};
  action.sa_handler = on_sigterm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
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
  if (command == "signal") die_by(static_cast<int>(first));
  if (command == "never") serve_until_terminated();
  if (command == "ignore-term") {
    signal(SIGTERM, SIG_IGN);
    listen_on_backend_port();
    for (;;) ::pause();
  }
  if (command == "exit-after-ready") {
    listen_on_backend_port();
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    sleep_ms(first);
    append(terminated ? "event SIGTERM" : "event exiting 0");
    return 0;
  }
  // listen
  sleep_ms(first);
  listen_on_backend_port();
  serve_until_terminated();
}
