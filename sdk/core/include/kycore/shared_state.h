// The card as every process sees it. Device memory in use, media channel
// numbers, engine busy time and the processes using each die live in one
// POSIX shared-memory segment per platform description, so that processes
// on the same platform share one set of resources as they would share a
// card. Each process (each attachment) has a slot; a slot whose process has
// died is reclaimed by the next process that needs what it held.
//
// The segment is untrusted input: its header, sizes and every value and
// index read from it are checked, and a segment that fails a check is
// refused (KYCM_SHARED_STATE_REFUSED) instead of being followed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kycore/busy_time.h"
#include "kycore/export.h"
#include "kycore/platform.h"

namespace kycore {

enum class ChannelKind : uint8_t { decoder = 0, encoder = 1 };

// One process using a die, as the management library lists it.
struct SharedUser {
  int32_t pid = 0;
  uint64_t start_time = 0;  // clock ticks after boot, from /proc/<pid>/stat
  std::string name;
  uint64_t memory = 0;    // device memory in bytes on the die
  uint32_t contexts = 0;  // contexts on the die
};

struct SharedDie {
  uint64_t memory_used = 0;  // all processes
  std::vector<SharedUser> users;
  // Channel numbers in use, by kind; jpeg counts are part of the totals.
  uint32_t decoders = 0, jpeg_decoders = 0, encoders = 0, jpeg_encoders = 0;
};

class KY_EXPORT SharedState {
 public:
  // Opens the segment of `platform`, creating it when absent, and takes a
  // slot for this attachment. Null with a code and message when refused.
  static std::shared_ptr<SharedState> attach(const Platform& platform, uint32_t* code, std::string* message);
  // Gives back whatever the attachment still holds; the last attachment of
  // all removes the segment.
  ~SharedState();
  SharedState(const SharedState&) = delete;
  SharedState& operator=(const SharedState&) = delete;

  const std::string& name() const;

  // OK, KYCM_OUT_OF_MEMORY when the die's memory across all processes
  // cannot hold `size` more bytes, or KYCM_SHARED_STATE_REFUSED.
  uint32_t reserve_memory(int32_t device, uint64_t size);
  void return_memory(int32_t device, uint64_t size);

  // OK, KYME_CHANNEL_BUSY when another attachment uses the number, or
  // KYCM_SHARED_STATE_REFUSED. `number` counts from the die's first.
  uint32_t claim_channel(ChannelKind kind, int32_t device, uint32_t number, bool jpeg);
  void release_channel(ChannelKind kind, int32_t device, uint32_t number);
  // Channel numbers in use on every die, all processes.
  uint32_t channels_in_use(ChannelKind kind);

  void set_contexts(int32_t device, uint32_t count);

  // Engine work: a running entry (0 when none is free: the work is then
  // charged when it ends) and finished spans, in steady-clock nanoseconds.
  uint32_t begin_busy(int32_t device, Engine engine, uint32_t core, int64_t start);
  void end_busy(uint32_t entry, int64_t end);
  void add_busy(int32_t device, Engine engine, uint32_t core, int64_t start, int64_t end);
  // Busy nanoseconds of [from, to] on each of an engine's `cores` cores,
  // where work on core c counts for core c % cores, for several engines at
  // once; false when refused.
  struct BusyQuery {
    Engine engine;
    uint32_t cores;
    int64_t* busy;  // `cores` counts
  };
  bool busy_times(int32_t device, const BusyQuery* queries, std::size_t count, int64_t from, int64_t to);

  // Memory in use on the die, all processes (0 when refused).
  uint64_t memory_used(int32_t device);
  // The die as every process uses it. Readings reclaim what dead processes
  // held at most a few times a second. False when refused.
  bool read_die(int32_t device, SharedDie* die);

  // Gives back the slot now, at process exit: later calls do nothing.
  void close();

  struct Impl;

 private:
  explicit SharedState(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The segment's name for a platform ("/quillon-" and a digest of it).
KY_EXPORT std::string shared_state_name(const Platform& platform);

// Whether the platform shares its state: QUILLON_SHARED_STATE=0 or the
// platform's "shared_state": false keep every process to itself.
KY_EXPORT bool shares_state(const Platform& platform);

// The attachment of the platform in force, made at first use; null when the
// platform does not share its state or its segment was refused. `refused`,
// when given, is set to KYCM_SHARED_STATE_REFUSED in the second case (a
// process whose card is refused must not carry on as if alone), else 0.
KY_EXPORT std::shared_ptr<SharedState> shared_state(uint32_t* refused = nullptr);
// OK, or KYCM_SHARED_STATE_REFUSED with the reason, for the platform in
// force (attaching when not yet attached).
KY_EXPORT uint32_t shared_state_status(std::string* message);

// Removes the segment of `platform`: refused (KYCM_SHARED_STATE_REFUSED,
// with the reason) while a live process other than the caller uses it. A
// segment that fails its checks is removed.
KY_EXPORT uint32_t reset_shared_state(const Platform& platform, std::string* message);

constexpr const char* kSharedStateVariable = "QUILLON_SHARED_STATE";

}  // namespace kycore
