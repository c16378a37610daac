// Helpers of the file-layer tests: a scratch directory that the test works
// in, whole-file helpers, an initialised EngineContext, and a forked second
// process that the test drives step by step through pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "dbf/core/context.h"
#include "dbf/core/file.h"

namespace whtest {

// A fresh directory that becomes the current directory for the test's life.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/whfileXXXXXX";
    path_ = mkdtemp(tmpl);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& leaf) const { return path_ + "/" + leaf; }

 private:
  std::string path_;
  std::filesystem::path old_;
};

inline void writeWhole(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string readWhole(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool fileExists(const std::string& name) { return std::filesystem::exists(name); }

// Bytes 0, 1, 2, ... 250, 0, 1, ... (a prime period, so misplaced chunks show).
inline std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(i % 251);
  return s;
}

// An EngineContext initialised for the current engine version.
struct Context : EngineContext {
  Context() : EngineContext() { engine4init(this, nullptr, kEngineVersion); }
  ~Context() { engine4free(this); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
};

// A forked child running |body(child)|; its return value is the exit status.
// The two sides hand each other single bytes: the child says "ready" when it
// has done its part, the parent says "go" when the child may continue.
class Child {
 public:
  template <class Body>
  explicit Child(Body body) {
    if (pipe(toChild_) != 0 || pipe(toParent_) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      ::close(toChild_[1]);
      ::close(toParent_[0]);
      int rc = body(*this);
      _exit(rc);
    }
    ::close(toChild_[0]);
    ::close(toParent_[1]);
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    ::close(toChild_[1]);
    ::close(toParent_[0]);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Child side.
  void ready() { put(toParent_[1]); }
  bool waitGo() { return take(toChild_[0], 20000); }

  // Parent side.
  bool waitReady(int timeoutMs = 10000) { return take(toParent_[0], timeoutMs); }
  void go() { put(toChild_[1]); }
  // The child's exit status, or -1 when it did not exit normally.
  int join() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void killNow() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }

 private:
  static void put(int fd) {
    char c = 1;
    if (write(fd, &c, 1) != 1) abort();
  }
  static bool take(int fd, int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return false;
    char c;
    return read(fd, &c, 1) == 1;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int toChild_[2] = {-1, -1};
  int toParent_[2] = {-1, -1};
};

}  // namespace whtest
