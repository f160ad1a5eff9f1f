// delete_local_folder: `rm -r -- FOLDER` run without a shell, its output
// captured and reported.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

extern char** environ;

namespace quorin_data::from_s3::bucketry {

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0) throw RuntimeError(std::string("pipe: ") + std::strerror(errno));
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (fd[0] >= 0) ::close(fd[0]);
    fd[0] = -1;
  }
  void close_write() {
    if (fd[1] >= 0) ::close(fd[1]);
    fd[1] = -1;
  }
};

// Reads both pipes to their ends without letting either fill up.
void drain(Pipe& out, Pipe& err, std::string& out_text, std::string& err_text) {
  char buf[4096];
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    pollfd fds[2];
    nfds_t n = 0;
    Pipe* owners[2];
    std::string* sinks[2];
    if (out.fd[0] >= 0) {
      fds[n] = {out.fd[0], POLLIN, 0};
      owners[n] = &out;
      sinks[n++] = &out_text;
    }
    if (err.fd[0] >= 0) {
      fds[n] = {err.fd[0], POLLIN, 0};
      owners[n] = &err;
      sinks[n++] = &err_text;
    }
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      throw RuntimeError(std::string("poll: ") + std::strerror(errno));
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0)
        sinks[i]->append(buf, static_cast<std::size_t>(got));
      else if (got == 0 || errno != EINTR)
        owners[i]->close_read();
    }
  }
}

// The captured bytes as ASCII text, as the report prints them.
std::string ascii(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", c);
      throw ValueError(std::string("'ascii' codec can't decode byte ") + hex + " in position " +
                       std::to_string(i) + ": ordinal not in range(128)");
    }
  }
  return bytes;
}

}  // namespace

int delete_local_folder_with_status(const std::string& folder_path) {
  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
  // "--" ends rm's options: a folder named "-rf" or "--help" is a folder.
  std::string a0 = "rm", a1 = "-r", a2 = "--", a3 = folder_path;
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "rm", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw RuntimeError(std::string("cannot run rm: ") + std::strerror(rc));
  out.close_write();
  err.close_write();
  std::string out_bytes, err_bytes;
  drain(out, err, out_bytes, err_bytes);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw RuntimeError(std::string("waitpid: ") + std::strerror(errno));
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  // Each line is printed once its text decodes, in report order.
  const std::string out_line = "Output: " + ascii(out_bytes);
  std::cout << out_line << std::endl;
  const std::string err_line = "Error: " + ascii(err_bytes);
  std::cout << err_line << std::endl;
  std::cout << "code: " << code << std::endl;
  return code;
}

void delete_local_folder(const std::string& folder_path) { (void)delete_local_folder_with_status(folder_path); }

}  // namespace quorin_data::from_s3::bucketry
