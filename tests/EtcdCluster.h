// A real etcd cluster on 127.0.0.1 for the cluster tests and benchmarks:
// three members (the etcd server binary), each with its own data directory
// under a directory of the run's own and ports that were free, stopped and
// removed with the object. And the tool's follower as a process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace varnex::test {

class EtcdCluster {
 public:
  // Starts the members and waits until each is healthy; throws
  // std::runtime_error when they do not come up. With tls, the members take
  // clients over TLS only, with a client certificate of the cluster's own CA
  // (made for the cluster with openssl, as are the members' certificates).
  explicit EtcdCluster(int members = 3, bool tls = false);
  ~EtcdCluster();
  EtcdCluster(const EtcdCluster&) = delete;
  EtcdCluster& operator=(const EtcdCluster&) = delete;

  int Size() const { return static_cast<int>(client_ports_.size()); }
  // "http://127.0.0.1:<port>" of member i ("https://" with TLS).
  std::string Endpoint(int member) const;
  // With TLS: the CA's certificate, and a client's certificate and key.
  std::string CaFile() const { return dir_ + "/ca.pem"; }
  std::string ClientCert() const { return dir_ + "/client.pem"; }
  std::string ClientKey() const { return dir_ + "/client.key"; }
  // Every member's, comma-separated, member `first` first.
  std::string Endpoints(int first = 0) const;
  // Kills member i at once (SIGKILL); its data stays.
  void Kill(int member);
  // Starts member i again on its data, and waits until it is healthy.
  void Restart(int member);
  bool Healthy(int member) const;
  // Runs etcdctl against the cluster; its exit status.
  int Etcdctl(const std::vector<std::string>& args, std::string* out = nullptr) const;

 private:
  void Spawn(int member);
  bool WaitHealthy(int member, int timeout_ms) const;
  void MakeCertificates() const;

  std::string dir_;
  bool tls_ = false;
  std::vector<int> client_ports_;
  std::vector<int> health_ports_;  // /health in cleartext
  std::vector<int> peer_ports_;
  std::vector<pid_t> pids_;
};

// A follower (`varnex follow`) of one machine's list directory, its standard
// error in a log file beside the directory; stopped with the object.
class FollowerProcess {
 public:
  FollowerProcess(std::string tool, std::string list_dir, std::string endpoints, std::string prefix,
                  std::vector<std::string> lists = {});
  ~FollowerProcess();
  FollowerProcess(const FollowerProcess&) = delete;
  FollowerProcess& operator=(const FollowerProcess&) = delete;
  void Start();
  // SIGTERM (a stop request) and the exit status.
  int Stop();
  void Kill();
  bool Running() const { return pid_ > 0; }
  std::string Log() const;

 private:
  std::string tool_, list_dir_, endpoints_, prefix_, log_;
  std::vector<std::string> lists_;
  pid_t pid_ = -1;
};

// Runs a program, its standard output into *out; returns its exit status
// (128 + the signal that ended it).
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr,
               std::string* err = nullptr);

}  // namespace varnex::test
