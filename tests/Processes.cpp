// What the tests need of each system: the test program started again to play
// a role, guarded pages, and on POSIX systems forked children, other
// accounts and pipes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/TestSupport.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace varnex::test {

namespace {

std::map<std::string, RoleBody>& Roles() {
  static std::map<std::string, RoleBody> roles;
  return roles;
}

constexpr const char* kRoleOption = "--varnex-role";

}  // namespace

bool RegisterRole(const char* name, RoleBody body) {
  Roles()[name] = body;
  return true;
}

int RunRoleFromCommandLine(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], kRoleOption) != 0) return -1;
  auto found = Roles().find(argv[2]);
  if (found == Roles().end()) {
    std::fprintf(stderr, "no role %s\n", argv[2]);
    return 98;
  }
  int status = 99;
  try {
    status = found->second(std::vector<std::string>(argv + 3, argv + argc));
  } catch (...) {
  }
  std::fflush(nullptr);
  return status;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : native_(other.native_) {
  other.native_ = nullptr;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    this->~ChildProcess();
    native_ = other.native_;
    other.native_ = nullptr;
  }
  return *this;
}

#if defined(_WIN32)

struct ChildProcess::Native {
  HANDLE process;
};

namespace {

// One argument on a command line, quoted as the C runtime splits it.
std::string Quoted(const std::string& argument) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

}  // namespace

ChildProcess SpawnRole(const std::string& role, const std::vector<std::string>& args) {
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  ChildProcess child;
  if (length == 0 || length >= sizeof program) return child;
  std::string command = Quoted(program) + " " + kRoleOption + " " + Quoted(role);
  for (const std::string& argument : args) command += " " + Quoted(argument);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::fflush(nullptr);
  if (!CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return child;
  }
  CloseHandle(info.hThread);
  child.native_ = new ChildProcess::Native{info.hProcess};
  return child;
}

ChildProcess::~ChildProcess() {
  if (native_ == nullptr) return;
  if (WaitForSingleObject(native_->process, 0) == WAIT_TIMEOUT) {
    TerminateProcess(native_->process, 137);
    WaitForSingleObject(native_->process, 10000);
  }
  CloseHandle(native_->process);
  delete native_;
}

bool ChildProcess::Started() const {
  return native_ != nullptr;
}

int ChildProcess::Wait(int timeout_ms) {
  if (native_ == nullptr) return -1;
  if (WaitForSingleObject(native_->process, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
    return -2;
  }
  DWORD status = 0;
  if (!GetExitCodeProcess(native_->process, &status)) return -1;
  return static_cast<int>(status & 0xff);
}

void ChildProcess::Kill() {
  if (native_ == nullptr) return;
  TerminateProcess(native_->process, 137);
  WaitForSingleObject(native_->process, 10000);
}

GuardedPage::GuardedPage() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  size_ = info.dwPageSize;
  pages_ = static_cast<char*>(
      VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old = 0;
  if (pages_ != nullptr && VirtualProtect(pages_ + size_, size_, PAGE_NOACCESS, &old)) {
    end_ = pages_ + size_;
  }
}

GuardedPage::~GuardedPage() {
  if (pages_ != nullptr) VirtualFree(pages_, 0, MEM_RELEASE);
}

#else

GuardedPage::GuardedPage() {
  size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* pages =
      mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return;
  pages_ = static_cast<char*>(pages);
  if (mprotect(pages_ + size_, size_, PROT_NONE) == 0) end_ = pages_ + size_;
}

GuardedPage::~GuardedPage() {
  if (pages_ != nullptr) munmap(pages_, 2 * size_);
}

struct ChildProcess::Native {
  pid_t pid;
  bool reaped;
  int status;
};

ChildProcess SpawnRole(const std::string& role, const std::vector<std::string>& args) {
  std::vector<std::string> words = {"/proc/self/exe", kRoleOption, role};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  ChildProcess child;
  pid_t pid = -1;
  std::fflush(nullptr);
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
    return child;
  }
  child.native_ = new ChildProcess::Native{pid, false, -1};
  return child;
}

ChildProcess::~ChildProcess() {
  if (native_ == nullptr) return;
  if (!native_->reaped) Kill();
  delete native_;
}

bool ChildProcess::Started() const {
  return native_ != nullptr;
}

int ChildProcess::Wait(int timeout_ms) {
  if (native_ == nullptr) return -1;
  if (!native_->reaped) {
    const int64_t deadline = NowMs() + timeout_ms;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(native_->pid, &status, WNOHANG)) == 0) {
      if (NowMs() > deadline) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (done != native_->pid) return -1;
    native_->reaped = true;
    native_->status = WIFEXITED(status)     ? WEXITSTATUS(status)
                      : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                            : -1;
  }
  return native_->status;
}

void ChildProcess::Kill() {
  if (native_ == nullptr || native_->reaped) return;
  kill(native_->pid, SIGKILL);
  (void)Wait();
}

Pipe::Pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  read_fd_ = fds[0];
  write_fd_ = fds[1];
}

Pipe::~Pipe() {
  if (read_fd_ >= 0) close(read_fd_);
  if (write_fd_ >= 0) close(write_fd_);
}

void Pipe::Send(char message) {
  if (write(write_fd_, &message, 1) != 1) std::perror("pipe write");
}

bool Pipe::Receive(char* message, int timeout_ms) {
  struct pollfd pfd = {read_fd_, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) != 1) return false;
  char byte;
  if (read(read_fd_, &byte, 1) != 1) return false;
  if (message != nullptr) *message = byte;
  return true;
}

void Pipe::KeepReadEnd() {
  close(write_fd_);
  write_fd_ = -1;
}

void Pipe::KeepWriteEnd() {
  close(read_fd_);
  read_fd_ = -1;
}

pid_t ForkChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // A child never outlives the test that made it, even one that failed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  return pid;
}

uid_t UnusedAccount() {
  for (uid_t id = 54321; id < 54400; ++id) {
    if (getpwuid(id) == nullptr && getgrgid(static_cast<gid_t>(id)) == nullptr) return id;
  }
  return 0;
}

pid_t ForkAsOtherAccount(const std::function<int()>& body) {
  const uid_t account = UnusedAccount();
  return ForkChild([&] {
    if (account == 0 || setgroups(0, nullptr) != 0 ||
        setresgid(static_cast<gid_t>(account), static_cast<gid_t>(account),
                  static_cast<gid_t>(account)) != 0 ||
        setresuid(account, account, account) != 0) {
      return 97;
    }
    return body();
  });
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

#endif

}  // namespace varnex::test
