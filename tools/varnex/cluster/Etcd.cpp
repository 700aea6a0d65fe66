#include "cluster/Etcd.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "ToolFiles.h"

namespace varnex::tool {
namespace {

using nlohmann::json;

// gRPC status codes that etcd's gateway reports.
constexpr int kOutOfRange = 11;
constexpr int kUnavailable = 14;
constexpr int kDeadlineExceeded = 4;
constexpr int kUnauthenticated = 16;

constexpr size_t kPageSize = 2000;
constexpr std::chrono::milliseconds kFirstPause{50};
constexpr std::chrono::milliseconds kLongestPause{2000};

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

int64_t Int64Of(const json& object, const char* member) {
  const auto it = object.find(member);
  if (it == object.end() || it->is_null()) return 0;
  if (it->is_string()) return std::stoll(it->get<std::string>());
  return it->get<int64_t>();
}

std::string StringOf(const json& object, const char* member) {
  const auto it = object.find(member);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

size_t AppendTo(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// libcurl, loaded by the first command that talks to etcd: most commands
// never do, and linking it would load it and the thirty libraries it needs
// into every run of the tool (about 5 ms each).
struct CurlLibrary {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_perform) easy_perform;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_easy_strerror) easy_strerror;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
};

template <typename Function>
void Resolve(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  if (*function == nullptr) throw ToolError(std::string("libcurl has no ") + name);
}

// The library, started once; throws ToolError when it cannot be loaded.
const CurlLibrary& Curl() {
  static std::once_flag once;
  static CurlLibrary curl;
  std::call_once(once, [] {
    // By its ABI's name, from the system's library directories, as the
    // dynamic linker would have found it.
    void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw ToolError(std::string("cannot load libcurl: ") + dlerror());
    CurlLibrary loaded;
    Resolve(library, "curl_global_init", &loaded.global_init);
    Resolve(library, "curl_easy_init", &loaded.easy_init);
    Resolve(library, "curl_easy_setopt", &loaded.easy_setopt);
    Resolve(library, "curl_easy_perform", &loaded.easy_perform);
    Resolve(library, "curl_easy_getinfo", &loaded.easy_getinfo);
    Resolve(library, "curl_easy_cleanup", &loaded.easy_cleanup);
    Resolve(library, "curl_easy_strerror", &loaded.easy_strerror);
    Resolve(library, "curl_slist_append", &loaded.slist_append);
    Resolve(library, "curl_slist_free_all", &loaded.slist_free_all);
    if (loaded.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw ToolError("libcurl failed to start");
    }
    curl = loaded;
  });
  return curl;
}

void InitializeCurl() {
  (void)Curl();
}

// Whether an error that etcd gave means: try another member.
bool MemberCannotServe(int code, const std::string& message) {
  return code == kUnavailable || code == kDeadlineExceeded ||
         message.find("no leader") != std::string::npos ||
         message.find("leader changed") != std::string::npos ||
         message.find("timed out") != std::string::npos ||
         message.find("not capable") != std::string::npos;
}

struct CurlHandle {
  CURL* curl = Curl().easy_init();
  curl_slist* headers = nullptr;
  ~CurlHandle() {
    Curl().slist_free_all(headers);
    if (curl != nullptr) Curl().easy_cleanup(curl);
  }
};

}  // namespace

std::string PrefixEnd(const std::string& prefix) {
  std::string end = prefix;
  while (!end.empty()) {
    if (static_cast<unsigned char>(end.back()) != 0xff) {
      end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
      return end;
    }
    end.pop_back();
  }
  return std::string(1, '\0');  // every key
}

std::string Base64Encode(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) text += kDigits[(n >> shift) & 63];
  }
  if (i < bytes.size()) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    text += kDigits[(n >> 18) & 63];
    text += kDigits[(n >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::string Base64Decode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
  };
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '=') --end;
  if (text.size() - end > 2) throw ToolError("etcd sent a text that is not base64");
  for (size_t i = 0; i < end; ++i) {
    const int v = value(text[i]);
    if (v < 0) throw ToolError("etcd sent a text that is not base64");
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      bytes += static_cast<char>(bits >> 16);
      bytes += static_cast<char>(bits >> 8);
      bytes += static_cast<char>(bits);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1) throw ToolError("etcd sent a text that is not base64");
  if (count == 2) bytes += static_cast<char>(bits >> 4);
  if (count == 3) {
    bytes += static_cast<char>(bits >> 10);
    bytes += static_cast<char>(bits >> 2);
  }
  return bytes;
}

EtcdConfig EtcdConfig::FromEnvironment(const std::string& endpoints) {
  EtcdConfig config;
  config.ca_file = Environment("VARNEX_ETCD_CACERT");
  config.cert_file = Environment("VARNEX_ETCD_CERT");
  config.key_file = Environment("VARNEX_ETCD_KEY");
  // With TLS files given, an endpoint without a scheme is reached over TLS:
  // cleartext only when an endpoint asks for it (http://).
  const bool tls = !config.ca_file.empty() || !config.cert_file.empty() || !config.key_file.empty();
  std::stringstream stream(endpoints);
  std::string endpoint;
  while (std::getline(stream, endpoint, ',')) {
    if (endpoint.empty()) continue;
    if (endpoint.find("://") == std::string::npos) {
      endpoint.insert(0, tls ? "https://" : "http://");
    }
    if (endpoint.rfind("http://", 0) != 0 && endpoint.rfind("https://", 0) != 0) {
      throw ToolError("an etcd endpoint is http://HOST:PORT or https://HOST:PORT: " + endpoint);
    }
    while (endpoint.back() == '/') endpoint.pop_back();
    config.endpoints.push_back(endpoint);
  }
  if (config.endpoints.empty()) throw ToolError("--etcd names no endpoint");
  config.user = Environment("VARNEX_ETCD_USER");
  const std::string password_file = Environment("VARNEX_ETCD_PASSWORD_FILE");
  if (!password_file.empty()) {
    std::string text;
    try {
      InputFile file(password_file);  // a regular file, never through a link
      char buffer[4096];
      for (size_t n; text.size() < 65536 && (n = file.Read(buffer, sizeof buffer)) > 0;) {
        text.append(buffer, n);
      }
    } catch (const ToolError& e) {
      throw ToolError(std::string("cannot read the password file (VARNEX_ETCD_PASSWORD_FILE): ") +
                      e.what());
    }
    config.password = text.substr(0, text.find('\n'));
    if (!config.password.empty() && config.password.back() == '\r') config.password.pop_back();
    if (config.password.empty()) {
      throw ToolError("the password file " + password_file +
                      " (VARNEX_ETCD_PASSWORD_FILE) holds no password on its first line");
    }
  } else {
    config.password = Environment("VARNEX_ETCD_PASSWORD");
  }
  if (!config.user.empty() && config.password.empty()) {
    throw ToolError("VARNEX_ETCD_USER is set without VARNEX_ETCD_PASSWORD_FILE");
  }
  return config;
}

EtcdClient::EtcdClient(EtcdConfig config) : m_config(std::move(config)) {
  InitializeCurl();
  if (m_config.endpoints.empty()) throw ToolError("no etcd endpoint");
  if (!m_config.user.empty()) Authenticate();
}

EtcdClient::~EtcdClient() = default;

void EtcdClient::Prepare(void* handle, const std::string& url, void* headers) const {
  CURL* curl = static_cast<CURL*>(handle);
  Curl().easy_setopt(curl, CURLOPT_URL, url.c_str());
  Curl().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  Curl().easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 1000L);
  Curl().easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  Curl().easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, 2L);
  Curl().easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, 1L);
  Curl().easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  Curl().easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers));
  if (!m_config.ca_file.empty()) Curl().easy_setopt(curl, CURLOPT_CAINFO, m_config.ca_file.c_str());
  if (!m_config.cert_file.empty()) {
    Curl().easy_setopt(curl, CURLOPT_SSLCERT, m_config.cert_file.c_str());
  }
  if (!m_config.key_file.empty())
    Curl().easy_setopt(curl, CURLOPT_SSLKEY, m_config.key_file.c_str());
}

bool EtcdClient::Attempt(const std::string& path, const std::string& body, json* reply,
                         std::string* why) {
  CurlHandle handle;
  if (handle.curl == nullptr) throw ToolError("libcurl could not make a handle");
  handle.headers = Curl().slist_append(handle.headers, "Content-Type: application/json");
  if (!m_token.empty()) {
    handle.headers = Curl().slist_append(handle.headers, ("Authorization: " + m_token).c_str());
  }
  Prepare(handle.curl, Endpoint() + path, handle.headers);
  std::string received;
  Curl().easy_setopt(handle.curl, CURLOPT_POSTFIELDS, body.c_str());
  Curl().easy_setopt(handle.curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(body.size()));
  Curl().easy_setopt(handle.curl, CURLOPT_WRITEFUNCTION, AppendTo);
  Curl().easy_setopt(handle.curl, CURLOPT_WRITEDATA, &received);
  Curl().easy_setopt(handle.curl, CURLOPT_TIMEOUT_MS, 10000L);
  const CURLcode result = Curl().easy_perform(handle.curl);
  if (result != CURLE_OK) {
    *why = Curl().easy_strerror(result);
    return false;
  }
  long status = 0;
  Curl().easy_getinfo(handle.curl, CURLINFO_RESPONSE_CODE, &status);
  *reply = json::parse(received, nullptr, /*allow_exceptions=*/false);
  if (reply->is_discarded() || !reply->is_object()) {
    if (status >= 500) {
      *why = "HTTP status " + std::to_string(status);
      return false;
    }
    throw ToolError(Endpoint() + " did not answer as etcd does (HTTP status " +
                    std::to_string(status) + ")");
  }
  if (reply->contains("error") || status != 200) {
    const int code = static_cast<int>(Int64Of(*reply, "code"));
    std::string message = StringOf(*reply, "message");
    if (message.empty()) message = StringOf(*reply, "error");
    if (MemberCannotServe(code, message)) {
      *why = message;
      return false;
    }
    if (message.find("compacted") != std::string::npos || code == kOutOfRange) {
      throw EtcdCompacted("etcd: " + message, 0);
    }
    if (code == kUnauthenticated && !m_config.user.empty() && path != "/v3/auth/authenticate") {
      Authenticate();  // the token ran out
      *why = message;
      return false;
    }
    throw ToolError("etcd: " +
                    (message.empty() ? "HTTP status " + std::to_string(status) : message));
  }
  return true;
}

void EtcdClient::NextEndpoint(std::chrono::milliseconds* pause, const std::string& why) {
  std::cerr << "varnex: etcd at " << Endpoint() << " cannot serve (" << why << ")";
  m_current = (m_current + 1) % m_config.endpoints.size();
  std::cerr << "; moving to " << Endpoint() << " in " << pause->count() << " ms\n";
  std::this_thread::sleep_for(*pause);
  *pause = std::min(*pause * 2, kLongestPause);
}

json EtcdClient::Call(const std::string& path, const json& body) {
  const std::string text = body.dump();
  const auto deadline = std::chrono::steady_clock::now() + m_config.call_deadline;
  std::chrono::milliseconds pause = kFirstPause;
  std::string why;
  for (;;) {
    json reply;
    if (Attempt(path, text, &reply, &why)) return reply;
    if (std::chrono::steady_clock::now() >= deadline) {
      throw EtcdUnavailable("no etcd endpoint could serve the request (last: " + why + ")");
    }
    NextEndpoint(&pause, why);
  }
}

void EtcdClient::Authenticate() {
  m_token.clear();
  const json reply =
      Call("/v3/auth/authenticate", {{"name", m_config.user}, {"password", m_config.password}});
  m_token = StringOf(reply, "token");
  if (m_token.empty()) throw ToolError("etcd gave no token for user " + m_config.user);
}

int64_t EtcdClient::ReadPrefix(const std::string& prefix, int64_t revision,
                               std::vector<EtcdKeyValue>* pairs,
                               const std::function<void(size_t, uint64_t)>& on_page) {
  pairs->clear();
  const std::string end = Base64Encode(PrefixEnd(prefix));
  std::string from = prefix;
  uint64_t total = 0;  // the first page's count: keys in the whole range
  for (bool first = true;; first = false) {
    json request = {{"key", Base64Encode(from)},
                    {"range_end", end},
                    {"limit", kPageSize},
                    {"revision", std::to_string(revision)}};
    const json reply = Call("/v3/kv/range", request);
    if (revision == 0) revision = Int64Of(reply.at("header"), "revision");
    const auto kvs = reply.find("kvs");
    if (kvs != reply.end()) {
      for (const json& kv : *kvs) {
        pairs->push_back({Base64Decode(StringOf(kv, "key")), Base64Decode(StringOf(kv, "value")),
                          Int64Of(kv, "mod_revision")});
      }
    }
    if (first && reply.contains("count")) total = static_cast<uint64_t>(Int64Of(reply, "count"));
    if (on_page) on_page(pairs->size(), std::max<uint64_t>(total, pairs->size()));
    const auto more = reply.find("more");
    if (more == reply.end() || !more->get<bool>() || pairs->empty()) return revision;
    from = pairs->back().key + std::string(1, '\0');
  }
}

int64_t EtcdClient::Commit(const std::vector<EtcdOperation>& operations) {
  return CommitIf({}, operations);
}

int64_t EtcdClient::CommitIf(const std::vector<EtcdCompare>& compares,
                             const std::vector<EtcdOperation>& operations) {
  json compare = json::array();
  for (const EtcdCompare& condition : compares) {
    compare.push_back({{"key", Base64Encode(condition.key)},
                       {"target", "MOD"},
                       {"result", "EQUAL"},
                       {"mod_revision", std::to_string(condition.mod_revision)}});
  }
  json success = json::array();
  for (const EtcdOperation& op : operations) {
    if (op.erase) {
      json request = {{"key", Base64Encode(op.key)}};
      if (!op.range_end.empty()) request["range_end"] = Base64Encode(op.range_end);
      success.push_back({{"request_delete_range", request}});
    } else {
      success.push_back(
          {{"request_put", {{"key", Base64Encode(op.key)}, {"value", Base64Encode(op.value)}}}});
    }
  }
  const json reply = Call("/v3/kv/txn", {{"compare", compare}, {"success", success}});
  // (A false member is left out of the reply.)
  const auto succeeded = reply.find("succeeded");
  if (succeeded == reply.end() || !succeeded->is_boolean() || !succeeded->get<bool>()) return 0;
  return Int64Of(reply.at("header"), "revision");
}

int64_t EtcdClient::ReadKeys(const std::vector<std::string>& keys,
                             std::vector<EtcdKeyValue>* pairs) {
  pairs->clear();
  json ranges = json::array();
  for (const std::string& key : keys) {
    ranges.push_back({{"request_range", {{"key", Base64Encode(key)}}}});
  }
  // A transaction of reads only: every range at the transaction's revision.
  const json reply = Call("/v3/kv/txn", {{"compare", json::array()}, {"success", ranges}});
  const auto responses = reply.find("responses");
  if (responses != reply.end() && responses->is_array()) {
    for (const json& response : *responses) {
      const auto range = response.find("response_range");
      if (range == response.end() || !range->contains("kvs")) continue;
      for (const json& kv : (*range)["kvs"]) {
        pairs->push_back({Base64Decode(StringOf(kv, "key")), Base64Decode(StringOf(kv, "value")),
                          Int64Of(kv, "mod_revision")});
      }
    }
  }
  return Int64Of(reply.at("header"), "revision");
}

bool EtcdClient::ReadKey(const std::string& key, int64_t revision, EtcdKeyValue* pair,
                         int64_t* header_revision) {
  const json reply =
      Call("/v3/kv/range", {{"key", Base64Encode(key)}, {"revision", std::to_string(revision)}});
  if (header_revision != nullptr) *header_revision = Int64Of(reply.at("header"), "revision");
  const auto kvs = reply.find("kvs");
  if (kvs == reply.end() || !kvs->is_array()) return false;
  for (const json& kv : *kvs) {
    std::string read = Base64Decode(StringOf(kv, "key"));
    if (read != key) continue;
    *pair = {std::move(read), Base64Decode(StringOf(kv, "value")), Int64Of(kv, "mod_revision")};
    return true;
  }
  return false;
}

int64_t EtcdClient::CurrentRevision(const std::string& prefix, std::string* cluster_id) {
  // A count of keys answers with the header, and no value.
  const json reply = Call("/v3/kv/range", {{"key", Base64Encode(prefix)},
                                           {"range_end", Base64Encode(PrefixEnd(prefix))},
                                           {"count_only", true}});
  const json& header = reply.at("header");
  if (cluster_id != nullptr) *cluster_id = StringOf(header, "cluster_id");
  return Int64Of(header, "revision");
}

void EtcdClient::Compact(int64_t revision) {
  Call("/v3/kv/compaction", {{"revision", std::to_string(revision)}, {"physical", true}});
}

namespace {

EtcdWatchResponse ParseWatchResponse(const json& line) {
  if (line.contains("error")) {
    const json& error = line["error"];
    throw EtcdUnavailable("the watch stream failed: " +
                          (error.is_object() ? StringOf(error, "message") : error.dump()));
  }
  const json& result = line.at("result");
  EtcdWatchResponse response;
  if (result.contains("header")) response.header_revision = Int64Of(result["header"], "revision");
  response.created = result.value("created", false);
  response.canceled = result.value("canceled", false);
  response.compact_revision = Int64Of(result, "compact_revision");
  response.cancel_reason = StringOf(result, "cancel_reason");
  if (result.contains("events")) {
    for (const json& event : result["events"]) {
      EtcdEvent parsed;
      parsed.deleted = StringOf(event, "type") == "DELETE";
      const json& kv = event.at("kv");
      parsed.kv.key = Base64Decode(StringOf(kv, "key"));
      parsed.kv.value = Base64Decode(StringOf(kv, "value"));
      parsed.kv.mod_revision = Int64Of(kv, "mod_revision");
      response.events.push_back(std::move(parsed));
    }
  }
  return response;
}

struct WatchState {
  std::string pending;
  const std::function<bool(const EtcdWatchResponse&)>* on_response;
  const std::atomic<bool>* stop;
  bool started = false;
  bool left = false;
  std::exception_ptr failure;
};

size_t TakeWatchBytes(char* data, size_t size, size_t count, void* target) {
  auto* state = static_cast<WatchState*>(target);
  state->pending.append(data, size * count);
  size_t start = 0;
  for (size_t newline; (newline = state->pending.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    try {
      const json line = json::parse(state->pending.begin() + static_cast<std::ptrdiff_t>(start),
                                    state->pending.begin() + static_cast<std::ptrdiff_t>(newline));
      const EtcdWatchResponse response = ParseWatchResponse(line);
      state->started = true;
      if (!(*state->on_response)(response)) {
        state->left = true;
        return 0;
      }
    } catch (...) {
      state->failure = std::current_exception();
      return 0;
    }
  }
  state->pending.erase(0, start);
  return size * count;
}

int CheckStop(void* target, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* state = static_cast<WatchState*>(target);
  return state->stop != nullptr && state->stop->load() ? 1 : 0;
}

}  // namespace

void EtcdClient::Watch(const std::string& prefix, int64_t start_revision,
                       const std::function<bool(const EtcdWatchResponse&)>& on_response,
                       const std::atomic<bool>* stop) {
  const json request = {{"create_request",
                         {{"key", Base64Encode(prefix)},
                          {"range_end", Base64Encode(PrefixEnd(prefix))},
                          {"start_revision", std::to_string(start_revision)},
                          {"progress_notify", true}}}};
  const std::string body = request.dump();
  const auto deadline = std::chrono::steady_clock::now() + m_config.call_deadline;
  std::chrono::milliseconds pause = kFirstPause;
  for (;;) {
    CurlHandle handle;
    if (handle.curl == nullptr) throw ToolError("libcurl could not make a handle");
    handle.headers = Curl().slist_append(handle.headers, "Content-Type: application/json");
    // A member cut off from the leader ends the watch instead of going quiet.
    handle.headers = Curl().slist_append(handle.headers, "Grpc-Metadata-hasleader: true");
    if (!m_token.empty()) {
      handle.headers = Curl().slist_append(handle.headers, ("Authorization: " + m_token).c_str());
    }
    Prepare(handle.curl, Endpoint() + "/v3/watch", handle.headers);
    WatchState state;
    state.on_response = &on_response;
    state.stop = stop;
    Curl().easy_setopt(handle.curl, CURLOPT_POSTFIELDS, body.c_str());
    Curl().easy_setopt(handle.curl, CURLOPT_WRITEFUNCTION, TakeWatchBytes);
    Curl().easy_setopt(handle.curl, CURLOPT_WRITEDATA, &state);
    Curl().easy_setopt(handle.curl, CURLOPT_NOPROGRESS, 0L);
    Curl().easy_setopt(handle.curl, CURLOPT_XFERINFOFUNCTION, CheckStop);
    Curl().easy_setopt(handle.curl, CURLOPT_XFERINFODATA, &state);
    const CURLcode result = Curl().easy_perform(handle.curl);
    if (state.left || (stop != nullptr && stop->load())) return;
    if (state.failure || state.started) {
      // The stream broke off: the caller watches again, from another member.
      std::cerr << "varnex: the watch on etcd at " << Endpoint() << " broke off ("
                << (result == CURLE_OK ? "the member ended it" : Curl().easy_strerror(result));
      m_current = (m_current + 1) % m_config.endpoints.size();
      std::cerr << "); moving to " << Endpoint() << "\n";
      if (state.failure) std::rethrow_exception(state.failure);
      return;
    }
    const std::string why =
        result == CURLE_OK ? "the watch ended at once" : Curl().easy_strerror(result);
    if (std::chrono::steady_clock::now() >= deadline) {
      throw EtcdUnavailable("no etcd endpoint could serve the watch (last: " + why + ")");
    }
    NextEndpoint(&pause, why);
  }
}

}  // namespace varnex::tool
