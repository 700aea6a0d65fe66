// A client of etcd's v3 API through its JSON gateway (HTTP/1.1 and JSON,
// keys and values in base64), over libcurl: ranges read at one revision,
// transactions, and watches. It moves to the next endpoint, with a growing
// pause, when one cannot be reached or has no leader.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ToolSupport.h"

namespace varnex::tool {

// Where the cluster is and how to reach it. TLS files and credentials come
// from the environment (never from the command line):
//   VARNEX_ETCD_CACERT    CA certificates (PEM) that the server's must chain to
//   VARNEX_ETCD_CERT      this client's certificate (PEM)
//   VARNEX_ETCD_KEY       its private key (PEM)
//   VARNEX_ETCD_USER      a user name of etcd's authentication
//   VARNEX_ETCD_PASSWORD_FILE  a file whose first line is that user's password
struct EtcdConfig {
  std::vector<std::string> endpoints;  // "http://127.0.0.1:2379", "https://..."
  std::string ca_file, cert_file, key_file;
  std::string user, password;
  // How long one call keeps trying the endpoints before it fails.
  std::chrono::milliseconds call_deadline{15000};
  // Comma-separated endpoints ("host:port" gets "https://" when a TLS file is
  // given, else "http://"), the rest from the environment. Throws ToolError.
  static EtcdConfig FromEnvironment(const std::string& endpoints);
};

// No endpoint answered within the call's deadline.
struct EtcdUnavailable : ToolError {
  using ToolError::ToolError;
};
// The revision asked for has been compacted away.
struct EtcdCompacted : ToolError {
  EtcdCompacted(const std::string& what, int64_t revision)
      : ToolError(what), compact_revision(revision) {}
  int64_t compact_revision;
};

struct EtcdKeyValue {
  std::string key;
  std::string value;
  int64_t mod_revision = 0;
};

struct EtcdEvent {
  bool deleted = false;
  EtcdKeyValue kv;  // for a deletion, the key and its revision
};

// One response of a watch stream.
struct EtcdWatchResponse {
  int64_t header_revision = 0;
  std::vector<EtcdEvent> events;
  bool created = false;
  bool canceled = false;
  int64_t compact_revision = 0;  // nonzero: the start revision was compacted
  std::string cancel_reason;
};

// A put of one key, or a deletion of one key or (with range_end) of every
// key from `key` up to range_end.
struct EtcdOperation {
  std::string key;
  std::string value;
  bool erase = false;
  std::string range_end;
};

// A condition of a transaction: `key` was last changed at `mod_revision`
// (0: the key does not exist).
struct EtcdCompare {
  std::string key;
  int64_t mod_revision = 0;
};

// The first key after every key that begins with `prefix`.
std::string PrefixEnd(const std::string& prefix);

std::string Base64Encode(const std::string& bytes);
// Throws ToolError on a text that is not base64.
std::string Base64Decode(const std::string& text);

class EtcdClient {
 public:
  explicit EtcdClient(EtcdConfig config);
  ~EtcdClient();
  EtcdClient(const EtcdClient&) = delete;
  EtcdClient& operator=(const EtcdClient&) = delete;

  // Every key beginning with `prefix`, in key order, as the store stood at
  // `revision` (0: now); returns that revision. Read in pages, all at the
  // revision of the first; on_page(keys read, keys in all) after each page.
  // Throws EtcdCompacted, EtcdUnavailable, ToolError.
  int64_t ReadPrefix(const std::string& prefix, int64_t revision, std::vector<EtcdKeyValue>* pairs,
                     const std::function<void(size_t, uint64_t)>& on_page = {});
  // The operations as one transaction; returns its revision.
  int64_t Commit(const std::vector<EtcdOperation>& operations);
  // The operations as one transaction made only when every comparison
  // holds; returns its revision, or 0 when one did not (nothing changed).
  int64_t CommitIf(const std::vector<EtcdCompare>& compares,
                   const std::vector<EtcdOperation>& operations);
  // The keys that exist of `keys`, all read at one revision (now, in one
  // request); returns that revision.
  int64_t ReadKeys(const std::vector<std::string>& keys, std::vector<EtcdKeyValue>* pairs);
  // One key as the store stood at `revision` (0: now): false when it has no
  // such key. *header_revision is the revision read.
  bool ReadKey(const std::string& key, int64_t revision, EtcdKeyValue* pair,
               int64_t* header_revision = nullptr);
  // The cluster's current revision and its identity, learned from a count of
  // the keys that begin with `prefix` (so that a role that may read only
  // them may ask).
  int64_t CurrentRevision(const std::string& prefix, std::string* cluster_id = nullptr);
  // Discards the history before `revision`.
  void Compact(int64_t revision);

  // Watches every key beginning with `prefix` from `start_revision`, calling
  // `on_response` for each response (created, events, cancel) until it
  // returns false, the stream ends or `stop` is set. Returns normally when
  // the stream ended or was left; throws EtcdUnavailable when no endpoint
  // could be reached.
  void Watch(const std::string& prefix, int64_t start_revision,
             const std::function<bool(const EtcdWatchResponse&)>& on_response,
             const std::atomic<bool>* stop);

  // The endpoint in use now.
  const std::string& Endpoint() const { return m_config.endpoints[m_current]; }

 private:
  struct Transfer;
  // POSTs `body` to `path` on the current endpoint, moving to the next on
  // a failure to connect or an unavailable cluster, until the deadline.
  nlohmann::json Call(const std::string& path, const nlohmann::json& body);
  // One attempt on the current endpoint: true with *reply set when the
  // endpoint answered; false (with *why) when it could not serve the call.
  bool Attempt(const std::string& path, const std::string& body, nlohmann::json* reply,
               std::string* why);
  void NextEndpoint(std::chrono::milliseconds* pause, const std::string& why);
  void Authenticate();
  void Prepare(void* curl, const std::string& url, void* headers) const;

  EtcdConfig m_config;
  size_t m_current = 0;
  std::string m_token;
};

}  // namespace varnex::tool
