#include "support/SelfProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/WaitFor.h"

extern char** environ;

namespace pelk::test {

pid_t spawnSelf(const SelfProcess& process) {
  // Everything is built before the fork: between fork and exec only
  // async-signal-safe calls are made.
  std::vector<std::string> added = process.env;
  std::vector<char*> envp;
  // An added variable replaces one of ours of the same name: the process
  // would otherwise read the first of the two, ours.
  const auto added_here = [&](const std::string& entry) {
    const auto name = entry.substr(0, entry.find('=') + 1);
    for (const auto& a : added) {
      if (a.rfind(name, 0) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e; ++e) {
    if (process.withoutKitVariables && std::string(*e).rfind("PELK_", 0) == 0) continue;
    if (added_here(*e)) continue;
    envp.push_back(*e);
  }
  for (auto& a : added) envp.push_back(a.data());
  envp.push_back(nullptr);
  std::string name = "self-process";
  std::string filter = "--gtest_filter=" + process.test;
  char* argv[] = {name.data(), filter.data(), nullptr};
  const char* out = process.stdoutTo.empty() ? nullptr : process.stdoutTo.c_str();
  const bool both = process.stderrToo;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (out) {
      const int fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        ::dup2(fd, 1);
        if (both) ::dup2(fd, 2);
      }
    }
    ::execve("/proc/self/exe", argv, envp.data());
    ::_exit(127);
  }
  return pid;
}

bool ProcessEnd::passed() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

ProcessEnd waitForEnd(pid_t pid, std::chrono::milliseconds limit) {
  ProcessEnd ended;
  ended.inTime = waitFor([&] { return ::waitpid(pid, &ended.status, WNOHANG) == pid; }, limit);
  if (!ended.inTime) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &ended.status, 0);
  }
  return ended;
}

}  // namespace pelk::test
