#include "tests/EtcdCluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace varnex::test {
namespace {

// A port that nothing listens on now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

pid_t SpawnWithOutput(const std::vector<std::string>& argv, const std::string& out,
                      const std::string& err) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int err_fd = err == out ? out_fd : open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  char out_path[] = "/tmp/varnex-run-out-XXXXXX";
  char err_path[] = "/tmp/varnex-run-err-XXXXXX";
  const int out_fd = mkstemp(out_path), err_fd = mkstemp(err_path);
  close(out_fd);
  close(err_fd);
  const int status = Wait(SpawnWithOutput(argv, out_path, err_path));
  if (out != nullptr) *out = ReadWhole(out_path);
  if (err != nullptr) *err = ReadWhole(err_path);
  unlink(out_path);
  unlink(err_path);
  return status;
}

EtcdCluster::EtcdCluster(int members, bool tls) : tls_(tls) {
  char dir[] = "/tmp/varnex-etcd-XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("no directory for etcd");
  dir_ = dir;
  if (tls_) MakeCertificates();
  for (int i = 0; i < members; ++i) {
    client_ports_.push_back(FreePort());
    peer_ports_.push_back(FreePort());
    health_ports_.push_back(FreePort());
  }
  pids_.assign(members, -1);
  for (int i = 0; i < members; ++i) Spawn(i);
  for (int i = 0; i < members; ++i) {
    if (!WaitHealthy(i, 30000)) {
      const std::string log = ReadWhole(dir_ + "/m" + std::to_string(i) + ".log");
      throw std::runtime_error("etcd member " + std::to_string(i) + " did not become healthy: " +
                               log.substr(log.size() > 2000 ? log.size() - 2000 : 0));
    }
  }
}

EtcdCluster::~EtcdCluster() {
  for (pid_t pid : pids_) {
    if (pid > 0) kill(pid, SIGTERM);
  }
  for (pid_t pid : pids_) {
    if (pid > 0) Wait(pid);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string EtcdCluster::Endpoint(int member) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") +
         std::to_string(client_ports_[member]);
}

void EtcdCluster::MakeCertificates() const {
  // A CA, and of it a certificate for the members (127.0.0.1) and one for
  // clients: EC keys, made in moments.
  const std::string ext = dir_ + "/ext.cnf";
  auto run = [](const std::vector<std::string>& argv) {
    std::string out, err;
    if (RunProgram(argv, &out, &err) != 0) {
      throw std::runtime_error("openssl failed: " + argv[1] + ": " + err);
    }
  };
  const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                        "-nodes"};
  std::vector<std::string> ca = {"openssl", "req", "-x509"};
  ca.insert(ca.end(), key.begin(), key.end());
  ca.insert(ca.end(), {"-keyout", dir_ + "/ca.key", "-out", CaFile(), "-days", "2", "-subj",
                       "/CN=varnex test CA"});
  run(ca);
  for (const char* name : {"server", "client"}) {
    const std::string base = dir_ + "/" + name;
    std::ofstream(ext)
        << (std::string(name) == "server"
                ? "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth,clientAuth\n"
                : "extendedKeyUsage=clientAuth\n");
    std::vector<std::string> request = {"openssl", "req"};
    request.insert(request.end(), key.begin(), key.end());
    // (With authentication on, etcd's JSON gateway turns away a client
    // certificate that names a CommonName, which it would take for a user.)
    request.insert(request.end(), {"-keyout", base + ".key", "-out", base + ".csr", "-subj",
                                   std::string(name) == "server" ? "/CN=varnex test server"
                                                                 : "/O=varnex test client"});
    run(request);
    run({"openssl", "x509", "-req", "-in", base + ".csr", "-CA", CaFile(), "-CAkey",
         dir_ + "/ca.key", "-CAcreateserial", "-out", base + ".pem", "-days", "2", "-extfile",
         ext});
  }
}

std::string EtcdCluster::Endpoints(int first) const {
  std::string endpoints;
  for (int i = 0; i < Size(); ++i) {
    if (!endpoints.empty()) endpoints += ",";
    endpoints += Endpoint((first + i) % Size());
  }
  return endpoints;
}

void EtcdCluster::Spawn(int member) {
  std::string initial;
  for (int i = 0; i < Size(); ++i) {
    if (!initial.empty()) initial += ",";
    initial.append("m").append(std::to_string(i)).append("=http://127.0.0.1:");
    initial.append(std::to_string(peer_ports_[i]));
  }
  const std::string name = "m" + std::to_string(member);
  const std::string peer = "http://127.0.0.1:" + std::to_string(peer_ports_[member]);
  const std::vector<std::string> argv = {
      "etcd", "--name", name, "--data-dir", dir_ + "/" + name, "--listen-client-urls",
      Endpoint(member), "--advertise-client-urls", Endpoint(member), "--listen-peer-urls", peer,
      "--initial-advertise-peer-urls", peer, "--initial-cluster", initial,
      "--initial-cluster-token", "varnex-" + std::to_string(getpid()), "--initial-cluster-state",
      "new",
      // Room for the large transactions of the tests.
      "--max-txn-ops", "20000", "--max-request-bytes", "16777216", "--heartbeat-interval", "50",
      "--election-timeout", "500"};
  std::vector<std::string> args = argv;
  args.insert(args.end(), {"--listen-metrics-urls",
                           "http://127.0.0.1:" + std::to_string(health_ports_[member])});
  if (tls_) {
    args.insert(args.end(),
                {"--cert-file", dir_ + "/server.pem", "--key-file", dir_ + "/server.key",
                 "--trusted-ca-file", CaFile(), "--client-cert-auth"});
  }
  const std::string log = dir_ + "/" + name + ".log";
  pids_[member] = SpawnWithOutput(args, log, log);
}

bool EtcdCluster::Healthy(int member) const {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(health_ports_[member]));
  timeval timeout = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const char request[] = "GET /health HTTP/1.0\r\n\r\n";
    if (write(fd, request, sizeof request - 1) == static_cast<ssize_t>(sizeof request - 1)) {
      char buffer[1024];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
    }
  }
  close(fd);
  return reply.find("\"health\":\"true\"") != std::string::npos;
}

bool EtcdCluster::WaitHealthy(int member, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Healthy(member)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void EtcdCluster::Kill(int member) {
  if (pids_[member] <= 0) return;
  kill(pids_[member], SIGKILL);
  Wait(pids_[member]);
  pids_[member] = -1;
}

void EtcdCluster::Restart(int member) {
  Kill(member);
  Spawn(member);
  if (!WaitHealthy(member, 30000)) throw std::runtime_error("a restarted etcd member stayed down");
}

int EtcdCluster::Etcdctl(const std::vector<std::string>& args, std::string* out) const {
  std::vector<std::string> argv = {"etcdctl", "--endpoints", Endpoints()};
  if (tls_) {
    argv.insert(argv.end(), {"--cacert", CaFile(), "--cert", ClientCert(), "--key", ClientKey()});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, out);
}

FollowerProcess::FollowerProcess(std::string tool, std::string list_dir, std::string endpoints,
                                 std::string prefix, std::vector<std::string> lists)
    : tool_(std::move(tool)),
      list_dir_(std::move(list_dir)),
      endpoints_(std::move(endpoints)),
      prefix_(std::move(prefix)),
      log_(list_dir_ + ".follow.log"),
      lists_(std::move(lists)) {
  Start();
}

FollowerProcess::~FollowerProcess() {
  Kill();
  unlink(log_.c_str());
}

void FollowerProcess::Start() {
  std::vector<std::string> argv = {tool_,      "--dir",    list_dir_, "--etcd",
                                   endpoints_, "--prefix", prefix_,   "follow"};
  argv.insert(argv.end(), lists_.begin(), lists_.end());
  pid_ = SpawnWithOutput(argv, log_, log_);
}

int FollowerProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int status = Wait(pid_);
  pid_ = -1;
  return status;
}

void FollowerProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Wait(pid_);
  pid_ = -1;
}

std::string FollowerProcess::Log() const {
  return ReadWhole(log_);
}

}  // namespace varnex::test
