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
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "double_support.h"

namespace {

using namespace test_support;

std::string record_path;

void append(const std::string& line) { append_line(record_path, line); }

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
  if (auto failed = listen_on_backend_port(family)) {
    append("event listen-failed " + *failed);
    return false;
  }
  append("event ready");
  return true;
}

[[noreturn]] void serve_until_terminated() {
  wait_for_sigterm();
  note_parent_descriptors();
  append("event SIGTERM");
  std::exit(0);
}

}  // namespace

int main(int, char** argv) {
  const auto [directory, role] = double_name(argv[0]);
  record_path = directory + "/" + role + ".record";
  hold_sigterm();
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
  if (command == "die") {
    note_parent_descriptors();
    append("event dying " + std::to_string(value));
    die_by(value);
  }
  if (command == "stop") {
    append("event stopping");
    ::raise(SIGSTOP);
    serve_until_terminated();
  }
  if (!listen_on(command == "ipv6" ? AF_INET6 : AF_INET)) return 70;
  serve_until_terminated();
}
