#include "error_texts.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace faults {

std::string os_error_text(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " +
         std::to_string(error_number) + ")";
}

int errno_number(const std::string& name) {
  static const std::map<std::string, int> numbers = {
      {"EPERM", EPERM},     {"ENOENT", ENOENT},   {"ESRCH", ESRCH},
      {"EINTR", EINTR},     {"EIO", EIO},         {"EBADF", EBADF},
      {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM},   {"EACCES", EACCES},
      {"EBUSY", EBUSY},     {"EEXIST", EEXIST},   {"EXDEV", EXDEV},
      {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},   {"EINVAL", EINVAL},
      {"EMFILE", EMFILE},   {"ENOSPC", ENOSPC},   {"EROFS", EROFS},
      {"ELOOP", ELOOP},     {"ENOTEMPTY", ENOTEMPTY}, {"ENOSYS", ENOSYS},
      {"ENOTSUP", ENOTSUP}, {"EDQUOT", EDQUOT},   {"ESTALE", ESTALE},
      {"ECHILD", ECHILD},   {"EPIPE", EPIPE},     {"ENFILE", ENFILE},
      {"E2BIG", E2BIG},     {"ENOEXEC", ENOEXEC}, {"ETXTBSY", ETXTBSY},
      {"ECONNREFUSED", ECONNREFUSED}, {"ENETUNREACH", ENETUNREACH},
      {"ETIMEDOUT", ETIMEDOUT}, {"EADDRNOTAVAIL", EADDRNOTAVAIL}, {"EFBIG", EFBIG},
  };
  auto found = numbers.find(name);
  if (found == numbers.end()) throw std::runtime_error("unknown errno name " + name);
  return found->second;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace faults
