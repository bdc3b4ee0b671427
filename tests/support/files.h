// Small helpers on real files for tests. They throw std::runtime_error when
// the file system refuses, which fails the test at hand with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// Replaces whatever is at `path` (so a running executable or a link there is
// never written through) with a file holding `content`, creating missing
// parent directories.
void write_file(const std::string& path, const std::string& content = "", unsigned mode = 0644);
// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// Reproducible bytes that deflate poorly, like compiled code.
std::string noise(size_t size, std::uint32_t seed);
// Creates `path` with every missing parent; `mode` is applied to `path`.
void make_dir(const std::string& path, unsigned mode = 0755);
// A symbolic link at `link` pointing at `target`, parents created.
void make_symlink(const std::string& target, const std::string& link);
// Whether anything is at `path`, links not followed.
bool lexists(const std::string& path);
bool is_directory(const std::string& path);  // links not followed
// Entry names of a directory, sorted; empty when it cannot be listed.
std::vector<std::string> list_directory(const std::string& directory);
// Removes `path` with everything below it, giving back the permissions a
// test took away first. Never fails.
void remove_all(const std::string& path);
// "device:inode" of a path (links followed) or of an open descriptor;
// "missing" or "closed" when there is none.
std::string identity_of_path(const std::string& path);
std::string identity_of_fd(int fd);

}  // namespace test_support
