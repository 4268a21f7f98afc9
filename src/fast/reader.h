// The native reader of the package: one store (1..N shard files, each a
// ReaderCore with its KeyView) behind tarndb._fast.Reader, and what its
// iterators and batch lookups share.
//
// A Store is immutable once opened. The Reader instance owns it through a
// StoreSlot until close(); a call that may run Python code while it uses
// the mapping (a decoder, a key iterator, the import of an ext type's class)
// holds a Pin, which keeps the store alive across a close() made meanwhile,
// by that code or by another thread: close() marks the slot closed at once
// and the store goes when the last pin does. With the interpreter lock the
// pin is a plain counter (every access runs under the lock, so no atomic
// read-modify-write); without it, pins are counted atomically in per-thread
// stripes (see StoreSlot). A call that releases the lock (verify, a merge)
// holds a shared_ptr copy either way.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "convert.h"
#include "core/crc32.h"
#include "core/format.h"
#include "core/keyview.h"
#include "core/reader.h"
#include "core/route.h"
#include "frame.h"
#include "pyref.h"

namespace tarn::fast {

struct Store {
  std::vector<ReaderCore> shards;
  std::vector<KeyView> views;  // views[i] lists the keys of shards[i]
  size_t length = 0;           // the sum of the views' sizes

  size_t shard_count() const { return shards.size(); }
  // The shard a lookup of `key` asks.
  size_t shard_of_key(Bytes key) const { return shards.size() == 1 ? 0 : shard_of(key, uint32_t(shards.size())); }
  const ReaderCore& shard_for(Bytes key) const { return shards[shard_of_key(key)]; }
};

class StoreSlot {
 public:
  explicit StoreSlot(std::shared_ptr<const Store> store) : store_(std::move(store)) {}

  // A shared reference for a call that releases the interpreter lock; null
  // once closed.
  std::shared_ptr<const Store> share() const;
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // Marks the slot closed; the store goes now, or with the last pin.
  void close() {
#ifdef Py_GIL_DISABLED
    if (!closed_.exchange(true)) release_if_unpinned();
#else
    closed_.store(true, std::memory_order_release);
    if (pins_ == 0) store_.reset();
#endif
  }

 private:
  friend class Pin;
#ifdef Py_GIL_DISABLED
  // Pins are counted in a few counters, each on a cache line of its own,
  // and a thread always uses the same one: threads that share a reader do
  // not all write one line on every lookup (a shared_ptr copy would). A
  // pin counts itself in, then looks at closed_; close() sets closed_,
  // then looks at the counts (all sequentially consistent), so a pin either
  // sees the slot closed and backs out, or is seen by every release check.
  // The store goes when close(), or the last pin out after it, sees every
  // count at zero; released_ makes that happen once.
  static constexpr size_t kStripes = 8;
  struct alignas(64) Stripe {
    std::atomic<intptr_t> pins{0};
  };
  static size_t my_stripe() {
    // Handed out to threads in turn, so that two threads use two counters.
    static std::atomic<size_t> next{0};
    thread_local const size_t mine = next.fetch_add(1, std::memory_order_relaxed) % kStripes;
    return mine;
  }
  // Counts a pin in: the store, or null (counted out again) once closed.
  const Store* pin(size_t stripe) const {
    stripes_[stripe].pins.fetch_add(1);
    if (!closed_.load()) return store_.get();
    unpin(stripe);
    return nullptr;
  }
  void unpin(size_t stripe) const {
    stripes_[stripe].pins.fetch_sub(1);
    if (closed_.load()) release_if_unpinned();
  }
  void release_if_unpinned() const {
    for (size_t i = 0; i < kStripes; ++i) {
      if (stripes_[i].pins.load() != 0) return;
    }
    if (!released_.exchange(true)) store_.reset();
  }

  // Every thread that calls the reader writes the reference counts in the
  // object's header (an atomic add for each thread but the one that made
  // it), so the cache line holding them moves from core to core with each
  // call. The fields below, and the reader's fields after the slot, are read
  // by every lookup: this gap keeps them off that line whatever the object's
  // alignment (the header's counts end 24 bytes into the object, the slot
  // starts 32 bytes in), so that they stay cached in every core at once.
  [[maybe_unused]] char header_gap_[64] = {};
  mutable std::shared_ptr<const Store> store_;  // reset once, by the release
  std::unique_ptr<Stripe[]> stripes_{new Stripe[kStripes]};
  mutable std::atomic<bool> released_{false};
#else
  std::shared_ptr<const Store> store_;
  uint32_t pins_ = 0;
#endif
  std::atomic<bool> closed_{false};
};

// Keeps a slot's store alive for the rest of a call; get() is null if the
// slot was closed before the pin was taken.
class Pin {
 public:
#ifdef Py_GIL_DISABLED
  explicit Pin(const StoreSlot& slot) : slot_(slot), stripe_(StoreSlot::my_stripe()), store_(slot.pin(stripe_)) {}
  ~Pin() {
    if (store_) slot_.unpin(stripe_);
  }
#else
  explicit Pin(StoreSlot& slot)
      : slot_(slot), store_(slot.closed_.load(std::memory_order_relaxed) ? nullptr : slot.store_.get()) {
    ++slot_.pins_;
  }
  ~Pin() {
    if (--slot_.pins_ == 0 && slot_.closed_.load(std::memory_order_relaxed)) slot_.store_.reset();
  }
#endif
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;
  const Store* get() const { return store_; }

 private:
#ifdef Py_GIL_DISABLED
  const StoreSlot& slot_;
  size_t stripe_;
#else
  StoreSlot& slot_;
#endif
  const Store* store_;
};

inline std::shared_ptr<const Store> StoreSlot::share() const {
#ifdef Py_GIL_DISABLED
  Pin pin(*this);  // the store cannot go while the copy is made
  return pin.get() ? store_ : nullptr;
#else
  return closed_ ? nullptr : store_;
#endif
}

// The error of a record whose payload fails its CRC-32 check:
//   "{path}: object of key {key!r} (record at offset {offset}) fails its
//    CRC-32 check (stored 0x..., computed 0x...)"
CoreError damaged_record(const ReaderCore& shard, EntryRef entry, uint32_t stored);
// A key shown as Python shows a str (or, not UTF-8, as bytes), for messages.
std::string key_repr(Bytes key);

// What a Reader instance holds beside its store.
struct ReaderState {
  StoreSlot slot;
  py::Ref path;     // the str, or the tuple of shard paths, given to the constructor
  py::Ref decoder;  // null: the native decoder
  bool msgpack_decoder = false;  // decoder is msgpack.unpackb: called as the package has always called it
  py::Ref msgpack_kwnames;       // ("strict_map_key",), for that call
  bool verify = true;
  bool check_reads = true;  // each record's CRC-32 checked before its payload is handed out

  // Entry `entry`'s payload in `shard`: every payload the reader returns or
  // decodes is sliced here, bounds-checked and, with check_reads, checked
  // against its record's CRC-32 (a TarnCorruptError naming the key and the
  // record's offset when it does not match). REQUIRES: entry names an entry
  // of `shard` (ReaderCore::find, or ref() of a rank).
  Result<Bytes> payload(const ReaderCore& shard, EntryRef entry) const {
    auto sliced = slice(shard, entry);
    if (!sliced) [[unlikely]] return sliced;
    if (!check_reads) return sliced;
    const uint32_t stored = stored_crc(*sliced);
    if (crc32(*sliced) != stored) [[unlikely]] return damaged_record(shard, entry, stored);
    return sliced;
  }
  // The same payload copied into a new bytes object (raw, raw_many), checked
  // as payload() checks it but in the same pass as the copy. New reference,
  // or null with an exception set.
  PyObject* payload_bytes(const ReaderCore& shard, EntryRef entry) const;

  // The object stored in `payload` under `key`: a new reference, or null
  // with TarnCorruptError set.
  PyObject* decode(std::span<const uint8_t> payload, PyObject* key) const;

 private:
  // The one place a payload is sliced from a shard's mapping (bounds-checked).
  static Result<Bytes> slice(const ReaderCore& shard, EntryRef entry) { return shard.payload(entry); }
  // The CRC-32 stored in the record prefix in front of a payload the core sliced.
  static uint32_t stored_crc(Bytes sliced) { return format::load_be32(sliced.data() - 4); }
};

using ReaderObject = py::Instance<ReaderState>;

PyTypeObject* reader_type();
inline ReaderState& state_of(PyObject* self) { return reinterpret_cast<ReaderObject*>(self)->core; }

// ValueError "I/O operation on a closed TarnReader ({path!r})"; returns null.
PyObject* raise_closed(const ReaderState& state);
// A valid UTF-8 key as str.
PyObject* key_str(Bytes key);
// KeyError(key); returns null.
PyObject* raise_key_error(PyObject* key);

// The iterators: over the listed keys from position `begin[i]` to `end[i]`
// of each shard's view, merged in key order.
enum class IterKind : uint8_t { kKeys, kValues, kItems };
PyObject* new_view_iter(PyObject* reader, const Store& store, IterKind kind, std::vector<size_t> begin,
                        std::vector<size_t> end);
// The same ranges, collected into a list at once.
PyObject* collect_list(PyObject* reader, const Store& store, IterKind kind, const std::vector<size_t>& begin,
                       const std::vector<size_t>& end);
int add_iter_type(PyObject* module);

// get_many / raw_many: `keys` any iterable; `decode` false for raw bytes.
PyObject* lookup_many(PyObject* reader, const Store& store, PyObject* keys, PyObject* fallback, bool decode);

}  // namespace tarn::fast
