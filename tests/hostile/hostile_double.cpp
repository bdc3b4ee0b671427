// A misbehaving `backend` or `frontend` for the launcher, chosen by the name
// it is started under. It reads "<name>.behaviour" beside itself and appends
// "key value" lines to "<name>.record" there (the launcher tests' format):
// "pid", "event ...", and "parent-fds", the descriptors its parent (the
// launcher) holds at that moment.
//
//   backend:  listen        listen on 127.0.0.1:3000; on SIGTERM note the
//                           parent's descriptors and exit 0
//             ipv6          the same on [::1]:3000 only
//             die N         note the parent's descriptors, then die by
//                           signal N without listening
//             stop          stop itself (SIGSTOP) without listening
//   frontend: exit N        note the parent's descriptors, exit with N
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

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

std::set<int> descriptors_of(pid_t pid) {
  std::set<int> fds;
  std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    }
    ::closedir(listing);
  }
  return fds;
}

// Descriptors the parent holds in three looks 30 ms apart: a descriptor it
// opens and closes again at once (a connection attempt) is not counted, one
// it keeps is.
void note_parent_descriptors() {
  pid_t parent = ::getppid();
  std::set<int> kept = descriptors_of(parent);
  for (int look = 0; look < 2; ++look) {
    ::usleep(30 * 1000);
    std::set<int> now = descriptors_of(parent);
    std::set<int> both;
    std::set_intersection(kept.begin(), kept.end(), now.begin(), now.end(),
                          std::inserter(both, both.begin()));
    kept = both;
  }
  std::string text;
  for (int fd : kept) text += (text.empty() ? "" : " ") + std::to_string(fd);
  append("parent-fds " + text);
}

bool listen_on(int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  bool bound = false;
  if (family == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(3000);
    address.sin6_addr = in6addr_loopback;
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3000);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  if (!bound || ::listen(fd, 64) != 0) {
    append(std::string("event listen-failed ") + std::strerror(errno));
    return false;
  }
  append("event ready");
  return true;  // the descriptor stays open for the life of the process
}

[[noreturn]] void serve_until_terminated() {
  sigset_t wait_mask;
  sigprocmask(SIG_BLOCK, nullptr, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  while (!terminated) sigsuspend(&wait_mask);
  note_parent_descriptors();
  append("event SIGTERM");
  std::exit(0);
}

[[noreturn]] void die_by(int sig) {
  note_parent_descriptors();
  append("event dying " + std::to_string(sig));
  ::signal(sig, SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, sig);
  sigprocmask(SIG_UNBLOCK, &mask, nullptr);
  ::kill(::getpid(), sig);
  ::_exit(99);
}

}  // namespace

int main(int, char** argv) {
  std::string self = argv[0];
  size_t slash = self.rfind('/');
  std::string directory = slash == std::string::npos ? "." : self.substr(0, slash);
  std::string role = self.substr(slash == std::string::npos ? 0 : slash + 1);
  record_path = directory + "/" + role + ".record";

  // SIGTERM is held back until the process waits for it, so it cannot be
  // lost in between.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  struct sigaction action {};
  action.sa_handler = on_sigterm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  append("pid " + std::to_string(::getpid()));

  std::string command = role == "backend" ? "listen" : "exit";
  int value = 0;
  std::ifstream behaviour(directory + "/" + role + ".behaviour");
  if (behaviour) behaviour >> command >> value;

  if (command == "exit") {
    note_parent_descriptors();
    append("event exiting " + std::to_string(value));
    return value;
  }
  if (command == "die") die_by(value);
  if (command == "stop") {
    append("event stopping");
    ::raise(SIGSTOP);
    serve_until_terminated();
  }
  if (!listen_on(command == "ipv6" ? AF_INET6 : AF_INET)) return 70;
  serve_until_terminated();
}
