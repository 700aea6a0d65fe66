// LMDB as a peer of the benchmarks: a memory-mapped B+tree in a directory,
// filled in one transaction and asked in read transactions. Keys are a rule's
// length key (4 bytes, big-endian) and its upper-cased text, as the verdict
// match compares them.
#pragma once

#include <lmdb.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace varnex::bench {

inline std::string PeerKey(uint32_t key, const std::string& text) {
  std::string out(4, '\0');
  for (int b = 0; b < 4; ++b) out[b] = static_cast<char>(key >> (24 - 8 * b));
  for (char c : text) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

class LmdbPeer {
 public:
  // Opens an environment in `dir`; with `sync` false, commits do not wait
  // for the disk. ok() tells whether it opened.
  LmdbPeer(const std::string& dir, bool sync) {
    ok_ = mdb_env_create(&env_) == 0 && mdb_env_set_mapsize(env_, size_t{4} << 30) == 0 &&
          mdb_env_open(env_, dir.c_str(), sync ? 0 : MDB_NOSYNC, 0644) == 0;
  }
  ~LmdbPeer() {
    if (read_ != nullptr) mdb_txn_abort(read_);
    if (env_ != nullptr) mdb_env_close(env_);
  }
  LmdbPeer(const LmdbPeer&) = delete;
  LmdbPeer& operator=(const LmdbPeer&) = delete;
  bool ok() const { return ok_; }

  // Stores every (key, value) that next() gives, in one transaction.
  template <typename Next>
  void Fill(Next next) {
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env_, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi_);
    std::string key, value;
    while (next(&key, &value)) {
      MDB_val k{key.size(), key.data()}, v{value.size(), value.data()};
      mdb_put(txn, dbi_, &k, &v, 0);
    }
    mdb_txn_commit(txn);
  }
  // Stores one (key, value) in a transaction of its own (on the disk when
  // the commit returns, for an environment opened with sync).
  bool Put(const std::string& key, const std::string& value) {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_, nullptr, 0, &txn) != 0) return false;
    MDB_val k{key.size(), const_cast<char*>(key.data())};
    MDB_val v{value.size(), const_cast<char*>(value.data())};
    if (mdb_put(txn, dbi_, &k, &v, 0) != 0) {
      mdb_txn_abort(txn);
      return false;
    }
    return mdb_txn_commit(txn) == 0;
  }
  // A read transaction around one lookup (or several).
  void BeginRead() {
    if (read_ == nullptr) {
      mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_);
    } else {
      mdb_txn_renew(read_);
    }
  }
  void EndRead() { mdb_txn_reset(read_); }
  bool Has(std::string& key) const {
    MDB_val k{key.size(), key.data()}, v;
    return mdb_get(read_, dbi_, &k, &v) == 0;
  }

 private:
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
  MDB_txn* read_ = nullptr;
  bool ok_ = false;
};

// The benchmark's iterations as lookups of the queries in turn (4096 of
// them), each under the key of its length and upper-cased text, in a read
// transaction of its own; reports the share of hits as "hit_rate".
inline void LookUpInLmdb(benchmark::State& state, LmdbPeer& peer,
                         const std::vector<std::string>& queries) {
  std::vector<std::string> keys;
  for (const std::string& query : queries) {
    keys.push_back(PeerKey(static_cast<uint32_t>(query.size()), query));
  }
  size_t i = 0;
  int64_t hits = 0;
  for (auto _ : state) {
    peer.BeginRead();
    hits += peer.Has(keys[i++ & 4095]);
    peer.EndRead();
  }
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

}  // namespace varnex::bench
