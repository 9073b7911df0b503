// A system user made for one test and removed with it, and the quiet run
// of a system tool that makes it. Needs root.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

/// Runs a system tool quietly; its exit status, or -1.
inline int RunTool(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

/// A system user of a group of its own (in no other), without a home.
class TestUser {
 public:
  TestUser() : name_("skavcap" + std::to_string(getpid())) {
    if (RunTool({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                 "/nonexistent", "--shell", "/usr/sbin/nologin", name_}) != 0) {
      return;
    }
    made_ = true;
    if (const passwd* pw = getpwnam(name_.c_str())) {
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
    }
  }
  ~TestUser() {
    if (made_) RunTool({"userdel", name_});
  }
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;
  bool ok() const { return uid_ != 0; }
  /// Also the name of the user's own group.
  const std::string& name() const { return name_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

 private:
  std::string name_;
  bool made_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};
