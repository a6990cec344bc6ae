// The shared-memory segment of a platform: its layout, how it is opened,
// checked and locked, and how a dead process's share is reclaimed.
#include "kycore/shared_state.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kycore/error_codes.h"

namespace kycore {
namespace {

// "QUILLONS" read as a little-endian number.
constexpr uint64_t kMagic = 0x534e4f4c4c495551ull;
constexpr uint32_t kLayoutVersion = 1;
constexpr uint32_t kSlots = 128;
// Per die and kind: the most numbers a platform may give a die.
constexpr uint32_t kChannelNumbers = 1024;
constexpr uint32_t kEngines = 4;
// Work is kept per core number modulo 12, which every engine's core count
// (1, 3 or 4) divides, so a reader can fold it onto the engine's cores.
constexpr uint32_t kLanes = 12;
constexpr uint32_t kBuckets = 32;
constexpr int64_t kBucketNs = 50'000'000;
constexpr uint32_t kRunning = 64;
constexpr uint16_t kJpegFlag = 1;
// A lock held longer than this is taken for a hostile or broken segment.
constexpr int kLockSeconds = 5;
constexpr int64_t kSweepNs = 250'000'000;

struct Header {
  uint64_t magic;
  uint32_t version;
  uint32_t header_bytes;
  uint64_t total_bytes;
  uint32_t die_count;
  uint32_t slot_count;
  uint32_t slot_bytes;
  uint32_t die_bytes;
  pthread_mutex_t lock;
  uint8_t reserved[64];
};

struct Slot {
  int32_t pid;  // 0: free
  uint32_t reserved;
  uint64_t start_time;
  char name[64];
};

struct ChannelEntry {
  uint16_t owner;  // slot + 1; 0: free
  uint16_t flags;
};

struct Bucket {
  int64_t epoch;  // start time / kBucketNs of the period it holds
  int64_t busy;   // nanoseconds
};

struct RunningEntry {
  uint16_t owner;  // slot + 1; 0: free
  uint8_t engine;
  uint8_t lane;
  uint32_t reserved;
  int64_t start;
};

struct Die {
  uint64_t capacity;
  uint32_t decoder_numbers;
  uint32_t encoder_numbers;
  uint64_t used;  // the sum of `memory`, so an allocation need not add them up
  uint64_t memory[kSlots];
  uint32_t contexts[kSlots];
  ChannelEntry channels[2][kChannelNumbers];
  Bucket busy[kEngines][kLanes][kBuckets];
  RunningEntry running[kRunning];
  int64_t active_until[kEngines];  // the latest end of work charged, per engine
  uint64_t running_mask[kEngines];  // which running entries hold work of each engine
};

// The layout is what other processes (and versions) read: every offset fixed.
static_assert(offsetof(Header, version) == 8 && offsetof(Header, total_bytes) == 16 && offsetof(Header, lock) == 40);
static_assert(sizeof(Header) == 144);
static_assert(offsetof(Slot, start_time) == 8 && offsetof(Slot, name) == 16);
static_assert(offsetof(Die, used) == 16 && offsetof(Die, memory) == 24);
static_assert(sizeof(Slot) == 80);
static_assert(sizeof(ChannelEntry) == 4);
static_assert(sizeof(Bucket) == 16);
static_assert(sizeof(RunningEntry) == 16);
static_assert(sizeof(Die) == 24 + kSlots * 12 + 2 * kChannelNumbers * 4 + kEngines * kLanes * kBuckets * 16 +
                                 kRunning * 16 + kEngines * 16);
static_assert(sizeof(Header) % 8 == 0 && sizeof(Die) % 8 == 0);

uint64_t segment_bytes(std::size_t dies) { return sizeof(Header) + kSlots * sizeof(Slot) + dies * sizeof(Die); }

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

// Every field of the platform, so that two descriptions of the same
// platform (another spacing, defaults written out) name the same segment.
// The layout version is not part of it: a library of another version finds
// the segment and refuses it, rather than booking the same card apart.
std::string describe(const Platform& p) {
  std::ostringstream out;
  out << p.driver_version << '|' << p.node_major << '|' << p.shared_group;
  for (const auto& c : p.cards) {
    out << "|card " << c.name << ',' << c.uuid << ',' << c.serial << ',' << c.pci_bus_id << ',' << c.card_id << ','
        << c.fan_speed << ',' << c.ai_capability << ',' << c.video_capability;
    for (const auto& d : c.dies) {
      out << "|die " << d.memory_bytes << ',' << d.decode_channels << ',' << d.encode_channels << ','
          << d.jpeg_decode_channels << ',' << d.jpeg_encode_channels;
    }
  }
  return out.str();
}

// What /proc/<pid>/stat says of a process; all zero when it is gone.
struct ProcessStat {
  char state = 0;            // field 3: R, S, D, Z (exited, not yet reaped), ...
  uint64_t threads = 0;      // field 20
  uint64_t start_ticks = 0;  // field 22: clock ticks after boot at which it started
};

ProcessStat process_stat(int32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  ProcessStat stat;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 3) stat.state = field[0];
    if (i == 20) stat.threads = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 22) {
      stat.start_ticks = std::strtoull(field.c_str(), nullptr, 10);
      return stat;
    }
  }
  return {};
}

// A killed process stays a zombie until its parent reaps it, with its pid
// and start time, but it uses nothing any more. A main thread that ended
// while other threads go on shows as a zombie too, with those threads
// counted: that process is alive.
bool alive(const Slot& slot) {
  if (slot.pid <= 0) return false;
  if (::kill(slot.pid, 0) != 0 && errno != EPERM) return false;
  const ProcessStat stat = process_stat(slot.pid);
  if (stat.start_ticks != slot.start_time || stat.state == 'X') return false;
  return stat.state != 'Z' || stat.threads > 1;
}

// The process's id without a system call on every use (they are slow on
// some hosts); a forked child looks it up afresh.
std::atomic<int32_t> g_pid{0};

int32_t this_pid() {
  static const bool watched = pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); }) == 0;
  (void)watched;
  int32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<int32_t>(getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(BusyClock::now().time_since_epoch()).count();
}

// The segment file's lock, within the same bound as the segment's mutex: a
// holder that never lets go (stopped, or hostile) must not hold up
// initialisation or exit for ever.
bool lock_file(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockSeconds);
  for (std::chrono::milliseconds pause{1};; pause = std::min(pause * 2, std::chrono::milliseconds{50})) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
  }
}

class SegmentLock {
 public:
  explicit SegmentLock(pthread_mutex_t* mutex) : mutex_(mutex) {
    int result = pthread_mutex_trylock(mutex_);
    if (result == EBUSY) {
      timespec deadline{};
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_sec += kLockSeconds;
      result = pthread_mutex_timedlock(mutex_, &deadline);
    }
    // Every change is one store, so what a dead holder left is consistent.
    if (result == EOWNERDEAD) {
      result = pthread_mutex_consistent(mutex_);
      recovered_ = true;
    }
    held_ = result == 0;
  }
  ~SegmentLock() {
    if (held_) pthread_mutex_unlock(mutex_);
  }
  SegmentLock(const SegmentLock&) = delete;
  SegmentLock& operator=(const SegmentLock&) = delete;
  explicit operator bool() const { return held_; }
  // The previous holder died holding it, maybe between two stores.
  bool recovered() const { return recovered_; }

 private:
  pthread_mutex_t* mutex_;
  bool held_ = false;
  bool recovered_ = false;
};

struct Refusal {
  std::string reason;
};

std::string shm_path(const std::string& name) { return "/dev/shm" + name; }

// True while `name` still names the file open as `fd`: a last user may have
// removed it while this process waited for it.
bool still_named(int fd, const std::string& name) {
  struct stat opened = {};
  struct stat named = {};
  return fstat(fd, &opened) == 0 && stat(shm_path(name).c_str(), &named) == 0 && opened.st_ino == named.st_ino &&
         opened.st_dev == named.st_dev;
}

}  // namespace

struct SharedState::Impl {
  std::string name;
  int fd = -1;
  uint8_t* base = nullptr;
  std::size_t bytes = 0;
  std::vector<DieConfig> dies;  // what the platform says, to check the segment against
  uint32_t slot = 0;
  int32_t pid = 0;
  bool closed = false;  // under the segment lock
  std::atomic<int64_t> last_sweep{0};

  Header* header() const { return reinterpret_cast<Header*>(base); }
  Slot* slots() const { return reinterpret_cast<Slot*>(base + sizeof(Header)); }
  Die* die(std::size_t d) const { return reinterpret_cast<Die*>(base + sizeof(Header) + kSlots * sizeof(Slot)) + d; }
  uint16_t owner_tag() const { return static_cast<uint16_t>(slot + 1); }
  bool mine() const { return pid == this_pid(); }

  void check_header() const {
    const Header* h = header();
    if (h->magic != kMagic) throw Refusal{"it is not a quillon state segment"};
    if (h->version != kLayoutVersion) {
      throw Refusal{"its layout version is " + std::to_string(h->version) + ", this library's is " +
                    std::to_string(kLayoutVersion)};
    }
    if (h->header_bytes != sizeof(Header) || h->total_bytes != bytes || h->die_count != dies.size() ||
        h->slot_count != kSlots || h->slot_bytes != sizeof(Slot) || h->die_bytes != sizeof(Die)) {
      throw Refusal{"its header describes another layout"};
    }
  }

  // The die, checked against what the platform gives it.
  Die* checked_die(int32_t device) const {
    if (device < 0 || static_cast<std::size_t>(device) >= dies.size()) throw Refusal{"no such die"};
    Die* d = die(static_cast<std::size_t>(device));
    const DieConfig& config = dies[static_cast<std::size_t>(device)];
    if (d->capacity != config.memory_bytes ||
        d->decoder_numbers != std::max(config.decode_channels, config.jpeg_decode_channels) ||
        d->encoder_numbers != std::max(config.encode_channels, config.jpeg_encode_channels)) {
      throw Refusal{"die " + std::to_string(device) + " does not match the platform"};
    }
    if (d->used > d->capacity) throw Refusal{"the memory in use on die " + std::to_string(device) + " is out of range"};
    return d;
  }

  // The sum of the die's per-process memory; each must lie within the
  // capacity and the sum must be the die's total.
  uint64_t audited_use(const Die* d) const {
    uint64_t sum = 0, highest = 0;  // each at most 2^40: the sum cannot wrap
    for (const uint64_t bytes : d->memory) {
      sum += bytes;
      highest = std::max(highest, bytes);
    }
    if (highest > d->capacity || sum != d->used) throw Refusal{"the memory counters of a die disagree"};
    return sum;
  }

  // After a holder died between two stores: totals from their parts.
  void repair() {
    for (std::size_t i = 0; i < dies.size(); ++i) {
      Die* d = die(i);
      uint64_t sum = 0;
      for (const uint64_t bytes : d->memory) sum += std::min(bytes, d->capacity);
      d->used = sum;
      for (uint32_t e = 0; e < kEngines; ++e) {
        d->running_mask[e] = 0;
        for (uint32_t r = 0; r < kRunning; ++r) {
          if (d->running[r].owner != 0 && d->running[r].engine == e) d->running_mask[e] |= uint64_t{1} << r;
        }
      }
    }
  }

  // The slot an owner tag names; null for a free entry.
  const Slot* owner(uint16_t tag) const {
    if (tag == 0) return nullptr;
    if (tag > kSlots) throw Refusal{"an owner is out of range"};
    return &slots()[tag - 1];
  }

  void clear_slot(uint32_t s) {
    const uint16_t tag = static_cast<uint16_t>(s + 1);
    for (std::size_t i = 0; i < dies.size(); ++i) {
      Die* d = die(i);
      d->used -= std::min(d->used, d->memory[s]);
      d->memory[s] = 0;
      d->contexts[s] = 0;
      for (auto& kind : d->channels) {
        for (auto& entry : kind) {
          if (entry.owner == tag) entry = ChannelEntry{0, 0};
        }
      }
      for (uint32_t i = 0; i < kRunning; ++i) {
        if (d->running[i].owner != tag) continue;
        d->running[i].owner = 0;
        for (auto& mask : d->running_mask) mask &= ~(uint64_t{1} << i);
      }
    }
    slots()[s].pid = 0;
  }

  // Readings reclaim what dead processes held a few times a second, not at
  // every call: looking a process up takes system calls.
  void sweep_now_and_then(int64_t now = now_ns()) {
    if (now - last_sweep.load(std::memory_order_relaxed) > kSweepNs) sweep();
  }

  // Reclaims what dead processes held; the number of live slots left.
  uint32_t sweep() {
    uint32_t live = 0;
    for (uint32_t s = 0; s < kSlots; ++s) {
      Slot& slot_record = slots()[s];
      if (slot_record.pid == 0) continue;
      if (slot_record.pid < 0 || !alive(slot_record)) {
        clear_slot(s);
      } else {
        ++live;
      }
    }
    last_sweep.store(now_ns(), std::memory_order_relaxed);
    return live;
  }

  void take_slot() {
    sweep();
    for (uint32_t s = 0; s < kSlots; ++s) {
      Slot& candidate = slots()[s];
      if (candidate.pid != 0) continue;
      clear_slot(s);
      candidate.start_time = process_stat(pid).start_ticks;
      const char* program = program_invocation_short_name;
      std::snprintf(candidate.name, sizeof candidate.name, "%s", program != nullptr ? program : "");
      candidate.pid = pid;
      slot = s;
      return;
    }
    throw Refusal{"all " + std::to_string(kSlots) + " process slots are in use"};
  }

  void initialize() {
    std::memset(base, 0, bytes);
    Header* h = header();
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&h->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    for (std::size_t i = 0; i < dies.size(); ++i) {
      die(i)->capacity = dies[i].memory_bytes;
      die(i)->decoder_numbers = std::max(dies[i].decode_channels, dies[i].jpeg_decode_channels);
      die(i)->encoder_numbers = std::max(dies[i].encode_channels, dies[i].jpeg_encode_channels);
    }
    h->version = kLayoutVersion;
    h->header_bytes = sizeof(Header);
    h->total_bytes = bytes;
    h->die_count = static_cast<uint32_t>(dies.size());
    h->slot_count = kSlots;
    h->slot_bytes = sizeof(Slot);
    h->die_bytes = sizeof(Die);
    __atomic_store_n(&h->magic, kMagic, __ATOMIC_RELEASE);
  }

  void charge(Die* d, Engine engine, uint32_t lane, int64_t start, int64_t end) {
    int64_t& until = d->active_until[static_cast<uint32_t>(engine)];
    until = std::max(until, end);
    start = std::max(start, end - static_cast<int64_t>(kBuckets) * kBucketNs);
    for (int64_t epoch = start / kBucketNs; start < end; ++epoch) {
      const int64_t stop = std::min(end, (epoch + 1) * kBucketNs);
      Bucket& bucket = d->busy[static_cast<uint32_t>(engine)][lane][static_cast<uint64_t>(epoch) % kBuckets];
      if (bucket.epoch != epoch) bucket = Bucket{epoch, 0};
      bucket.busy += stop - start;
      start = stop;
    }
  }

  // Gives the slot back; the last user removes the segment. Holds the file
  // lock so that no process attaches meanwhile; when it cannot be had, the
  // slot is still given back (the mutex guards it) but the segment stays.
  void leave() {
    if (!mine()) return;
    const bool locked = lock_file(fd);
    bool last = false;
    struct stat status = {};
    if (fstat(fd, &status) == 0 && static_cast<uint64_t>(status.st_size) == bytes) {
      SegmentLock lock(&header()->lock);
      if (lock && !closed) {
        closed = true;
        clear_slot(slot);
        last = sweep() == 0;
      }
    }
    if (last && locked && still_named(fd, name)) shm_unlink(name.c_str());
    if (locked) flock(fd, LOCK_UN);
  }
};

SharedState::SharedState(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SharedState::~SharedState() {
  impl_->leave();
  munmap(impl_->base, impl_->bytes);
  ::close(impl_->fd);
}

const std::string& SharedState::name() const { return impl_->name; }

std::string shared_state_name(const Platform& platform) {
  char text[32];
  std::snprintf(text, sizeof text, "/quillon-%016llx", static_cast<unsigned long long>(fnv1a(describe(platform))));
  return text;
}

bool shares_state(const Platform& platform) {
  const char* value = std::getenv(kSharedStateVariable);
  if (value != nullptr && std::strcmp(value, "0") == 0) return false;
  return platform.shared_state;
}

std::shared_ptr<SharedState> SharedState::attach(const Platform& platform, uint32_t* code, std::string* message) {
  auto impl = std::make_unique<Impl>();
  impl->name = shared_state_name(platform);
  impl->pid = this_pid();
  for (const auto& card : platform.cards) impl->dies.insert(impl->dies.end(), card.dies.begin(), card.dies.end());
  impl->bytes = segment_bytes(impl->dies.size());
  try {
    gid_t group = 0;
    const bool grouped = !platform.shared_group.empty();
    if (grouped) {
      struct group entry {
      }, *found = nullptr;
      std::vector<char> buffer(16384);
      if (getgrnam_r(platform.shared_group.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        throw Refusal{"the group " + platform.shared_group + " does not exist"};
      }
      group = found->gr_gid;
    }
    const mode_t mode = grouped ? 0660 : 0600;
    for (int attempt = 0;; ++attempt) {
      if (attempt == 5) throw Refusal{"it was removed and made again too often while opening it"};
      const int fd = shm_open(impl->name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0) throw Refusal{std::string("it cannot be opened: ") + std::strerror(errno)};
      impl->fd = fd;
      if (!lock_file(fd)) throw Refusal{"its file lock is held too long"};
      if (!still_named(fd, impl->name)) {
        ::close(fd);
        impl->fd = -1;
        continue;
      }
      struct stat status = {};
      fstat(fd, &status);
      if (status.st_size == 0 && status.st_uid == geteuid()) {
        // Made here (or left empty by a process that died making it): the
        // mode the platform asks for, whatever the umask took away.
        if ((grouped && fchown(fd, static_cast<uid_t>(-1), group) != 0) || fchmod(fd, mode) != 0) {
          throw Refusal{std::string("its owner and mode cannot be set: ") + std::strerror(errno)};
        }
        fstat(fd, &status);
      }
      if ((status.st_mode & 07777) != mode || (grouped ? status.st_gid != group : status.st_uid != geteuid())) {
        char text[160];
        std::snprintf(text, sizeof text, "it belongs to uid %u, group %u with mode %04o, not %s with mode %04o",
                      static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_gid),
                      static_cast<unsigned>(status.st_mode & 07777), grouped ? "the platform's group" : "this user",
                      static_cast<unsigned>(mode));
        throw Refusal{text};
      }
      const bool fresh = status.st_size == 0;
      if (fresh && ftruncate(fd, static_cast<off_t>(impl->bytes)) != 0) {
        throw Refusal{std::string("it cannot be sized: ") + std::strerror(errno)};
      }
      if (!fresh && static_cast<uint64_t>(status.st_size) != impl->bytes) {
        throw Refusal{"its size is " + std::to_string(status.st_size) + " bytes, this platform's layout takes " +
                      std::to_string(impl->bytes)};
      }
      void* mapped = mmap(nullptr, impl->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (mapped == MAP_FAILED) throw Refusal{std::string("it cannot be mapped: ") + std::strerror(errno)};
      impl->base = static_cast<uint8_t*>(mapped);
      // Made under the file lock, so a segment still without its magic
      // number was left by a process that died making it: made again.
      if (fresh || __atomic_load_n(&impl->header()->magic, __ATOMIC_ACQUIRE) == 0) impl->initialize();
      impl->check_header();
      {
        SegmentLock lock(&impl->header()->lock);
        if (!lock) throw Refusal{"its lock is held too long"};
        if (lock.recovered()) impl->repair();
        for (std::size_t d = 0; d < impl->dies.size(); ++d) {
          impl->audited_use(impl->checked_die(static_cast<int32_t>(d)));
        }
        impl->take_slot();
      }
      flock(fd, LOCK_UN);
      break;
    }
  } catch (const Refusal& refusal) {
    if (impl->base != nullptr) munmap(impl->base, impl->bytes);
    if (impl->fd >= 0) ::close(impl->fd);  // drops the file lock too
    *code = KYCM_SHARED_STATE_REFUSED;
    *message = "shared state " + impl->name + " refused: " + refusal.reason;
    return nullptr;
  }
  *code = OK;
  return std::shared_ptr<SharedState>(new SharedState(std::move(impl)));
}

namespace {

// Runs `body` under the segment lock; a refused segment gives `refused` and
// is reported once per attachment on standard error.
template <class Body, class Result>
Result under_lock(SharedState::Impl& s, Result refused, Body body) {
  static std::atomic<bool> reported{false};
  try {
    SegmentLock lock(&s.header()->lock);
    if (!lock) throw Refusal{"its lock is held too long"};
    if (s.closed || !s.mine()) return refused;
    if (lock.recovered()) s.repair();
    return body();
  } catch (const Refusal& refusal) {
    if (!reported.exchange(true)) {
      std::fprintf(stderr, "quillon: shared state %s refused: %s\n", s.name.c_str(), refusal.reason.c_str());
    }
    return refused;
  }
}

}  // namespace

uint32_t SharedState::reserve_memory(int32_t device, uint64_t size) {
  Impl& s = *impl_;
  return under_lock(s, uint32_t{KYCM_SHARED_STATE_REFUSED}, [&]() -> uint32_t {
    Die* d = s.checked_die(device);
    if (size > d->capacity - d->used) {
      s.sweep();
      if (size > d->capacity - s.audited_use(d)) return KYCM_OUT_OF_MEMORY;
    }
    d->memory[s.slot] += size;
    d->used += size;
    return OK;
  });
}

void SharedState::return_memory(int32_t device, uint64_t size) {
  Impl& s = *impl_;
  under_lock(s, 0, [&] {
    Die* d = s.checked_die(device);
    const uint64_t returned = std::min(size, d->memory[s.slot]);
    d->memory[s.slot] -= returned;
    d->used -= std::min(returned, d->used);
    return 0;
  });
}

uint32_t SharedState::claim_channel(ChannelKind kind, int32_t device, uint32_t number, bool jpeg) {
  Impl& s = *impl_;
  return under_lock(s, uint32_t{KYCM_SHARED_STATE_REFUSED}, [&]() -> uint32_t {
    Die* d = s.checked_die(device);
    const uint32_t numbers = kind == ChannelKind::decoder ? d->decoder_numbers : d->encoder_numbers;
    if (number >= numbers || number >= kChannelNumbers) return KYME_INVALID_CHANNEL;
    ChannelEntry& entry = d->channels[static_cast<uint32_t>(kind)][number];
    if (const Slot* holder = s.owner(entry.owner); holder != nullptr && holder->pid != 0) {
      if (alive(*holder)) return KYME_CHANNEL_BUSY;
      s.sweep();
    }
    entry = ChannelEntry{s.owner_tag(), static_cast<uint16_t>(jpeg ? kJpegFlag : 0)};
    return OK;
  });
}

void SharedState::release_channel(ChannelKind kind, int32_t device, uint32_t number) {
  Impl& s = *impl_;
  under_lock(s, 0, [&] {
    Die* d = s.checked_die(device);
    if (number >= kChannelNumbers) return 0;
    ChannelEntry& entry = d->channels[static_cast<uint32_t>(kind)][number];
    if (entry.owner == s.owner_tag()) entry = ChannelEntry{0, 0};
    return 0;
  });
}

uint32_t SharedState::channels_in_use(ChannelKind kind) {
  Impl& s = *impl_;
  return under_lock(s, uint32_t{0}, [&] {
    uint32_t count = 0;
    for (std::size_t i = 0; i < s.dies.size(); ++i) {
      for (const auto& entry : s.checked_die(static_cast<int32_t>(i))->channels[static_cast<uint32_t>(kind)]) {
        count += s.owner(entry.owner) != nullptr ? 1 : 0;
      }
    }
    return count;
  });
}

void SharedState::set_contexts(int32_t device, uint32_t count) {
  Impl& s = *impl_;
  under_lock(s, 0, [&] {
    s.checked_die(device)->contexts[s.slot] = count;
    return 0;
  });
}

uint32_t SharedState::begin_busy(int32_t device, Engine engine, uint32_t core, int64_t start) {
  Impl& s = *impl_;
  return under_lock(s, uint32_t{0}, [&]() -> uint32_t {
    Die* d = s.checked_die(device);
    for (uint32_t i = 0; i < kRunning; ++i) {
      RunningEntry& run = d->running[i];
      if (run.owner != 0) continue;
      run = RunningEntry{s.owner_tag(), static_cast<uint8_t>(engine), static_cast<uint8_t>(core % kLanes), 0, start};
      d->running_mask[static_cast<uint32_t>(engine)] |= uint64_t{1} << i;
      return static_cast<uint32_t>(device) * kRunning + i + 1;
    }
    return 0;
  });
}

void SharedState::end_busy(uint32_t entry, int64_t end) {
  Impl& s = *impl_;
  if (entry == 0) return;
  under_lock(s, 0, [&] {
    Die* d = s.checked_die(static_cast<int32_t>((entry - 1) / kRunning));
    const uint32_t index = (entry - 1) % kRunning;
    RunningEntry& run = d->running[index];
    if (run.owner != s.owner_tag()) return 0;  // reclaimed meanwhile
    run.owner = 0;
    if (run.engine >= kEngines || run.lane >= kLanes) throw Refusal{"a running entry is out of range"};
    d->running_mask[run.engine] &= ~(uint64_t{1} << index);
    s.charge(d, static_cast<Engine>(run.engine), run.lane, run.start, end);
    return 0;
  });
}

void SharedState::add_busy(int32_t device, Engine engine, uint32_t core, int64_t start, int64_t end) {
  Impl& s = *impl_;
  under_lock(s, 0, [&] {
    s.charge(s.checked_die(device), engine, core % kLanes, start, end);
    return 0;
  });
}

bool SharedState::busy_times(int32_t device, const BusyQuery* queries, std::size_t count, int64_t from, int64_t to) {
  Impl& s = *impl_;
  for (std::size_t q = 0; q < count; ++q) std::fill(queries[q].busy, queries[q].busy + queries[q].cores, 0);
  if (from >= to) return true;
  return under_lock(s, false, [&] {
    // A running entry of a process killed meanwhile would read busy for ever.
    s.sweep_now_and_then(to);
    const Die* d = s.checked_die(device);
    for (const BusyQuery* query = queries; query != queries + count; ++query) {
      const auto e = static_cast<uint32_t>(query->engine);
      const uint32_t cores = query->cores;
      int64_t* busy = query->busy;
      if (cores == 0 || e >= kEngines) continue;
      // An idle engine (the common case) needs no look at its periods.
      for (uint32_t lane = 0; d->active_until[e] > from && lane < kLanes; ++lane) {
        for (int64_t epoch = from / kBucketNs; epoch <= to / kBucketNs; ++epoch) {
          const Bucket& bucket = d->busy[e][lane][static_cast<uint64_t>(epoch) % kBuckets];
          if (bucket.epoch != epoch) continue;
          if (bucket.busy < 0 || bucket.busy > kBucketNs * 2 * kChannelNumbers) {
            throw Refusal{"a busy time is out of range"};
          }
          // The first period lies partly before the interval: its share. Both
          // factors are bounded, so the product stays below 2^63.
          const int64_t inside = std::min(kBucketNs, (epoch + 1) * kBucketNs - from);
          busy[lane % cores] += bucket.busy * inside / kBucketNs;
        }
      }
      // Only the entries the engine's mask names: none on an idle engine.
      for (uint64_t mask = d->running_mask[e]; mask != 0; mask &= mask - 1) {
        const RunningEntry& run = d->running[__builtin_ctzll(mask)];
        if (s.owner(run.owner) == nullptr || run.engine != e || run.lane >= kLanes) continue;
        busy[run.lane % cores] += std::max<int64_t>(0, to - std::max(run.start, from));
      }
    }
    return true;
  });
}

uint64_t SharedState::memory_used(int32_t device) {
  Impl& s = *impl_;
  return under_lock(s, uint64_t{0}, [&] {
    s.sweep_now_and_then();
    return s.checked_die(device)->used;
  });
}

bool SharedState::read_die(int32_t device, SharedDie* out) {
  Impl& s = *impl_;
  return under_lock(s, false, [&] {
    s.sweep_now_and_then();
    SharedDie result;
    const Die* d = s.checked_die(device);
    result.memory_used = s.audited_use(d);
    for (uint32_t i = 0; i < kSlots; ++i) {
      const Slot& slot = s.slots()[i];
      if (slot.pid == 0 || (d->memory[i] == 0 && d->contexts[i] == 0)) continue;
      result.users.push_back(SharedUser{slot.pid, slot.start_time,
                                        std::string(slot.name, strnlen(slot.name, sizeof slot.name)), d->memory[i],
                                        d->contexts[i]});
    }
    for (uint32_t kind = 0; kind < 2; ++kind) {
      for (const ChannelEntry& entry : d->channels[kind]) {
        if (s.owner(entry.owner) == nullptr) continue;
        const bool jpeg = (entry.flags & kJpegFlag) != 0;
        (kind == 0 ? result.decoders : result.encoders) += 1;
        (kind == 0 ? result.jpeg_decoders : result.jpeg_encoders) += jpeg ? 1 : 0;
      }
    }
    *out = std::move(result);
    return true;
  });
}

void SharedState::close() { impl_->leave(); }

uint32_t reset_shared_state(const Platform& platform, std::string* message) {
  const std::string name = shared_state_name(platform);
  const int fd = shm_open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) {
    if (errno == ENOENT) {
      *message = "no shared state " + name + " to clear";
      return OK;
    }
    *message = "shared state " + name + " cannot be opened: " + std::strerror(errno);
    return KYCM_SHARED_STATE_REFUSED;
  }
  if (!lock_file(fd)) {
    ::close(fd);
    *message =
        "shared state " + name + " is being opened or closed elsewhere (its file lock is held too long); not cleared";
    return KYCM_SHARED_STATE_REFUSED;
  }
  SharedState::Impl s;
  s.name = name;
  s.fd = fd;
  for (const auto& card : platform.cards) s.dies.insert(s.dies.end(), card.dies.begin(), card.dies.end());
  s.bytes = segment_bytes(s.dies.size());
  std::string users;
  std::string damage;
  struct stat status = {};
  fstat(fd, &status);
  if (static_cast<uint64_t>(status.st_size) == s.bytes) {
    void* mapped = mmap(nullptr, s.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED) {
      s.base = static_cast<uint8_t*>(mapped);
      try {
        s.check_header();
        SegmentLock lock(&s.header()->lock);
        if (!lock) throw Refusal{"its lock is held too long"};
        if (lock.recovered()) s.repair();
        s.sweep();
        for (uint32_t i = 0; i < kSlots; ++i) {
          const int32_t pid = s.slots()[i].pid;
          if (pid != 0 && pid != this_pid()) users += " " + std::to_string(pid);
        }
      } catch (const Refusal& refusal) {
        damage = refusal.reason;
      }
      munmap(s.base, s.bytes);
    }
  } else if (status.st_size != 0) {
    damage = "its size is " + std::to_string(status.st_size) + " bytes";
  }
  uint32_t code = OK;
  if (!users.empty()) {
    *message = "shared state " + name + " is in use by process(es)" + users + "; not cleared";
    code = KYCM_SHARED_STATE_REFUSED;
  } else if (shm_unlink(name.c_str()) != 0) {
    *message = "shared state " + name + " cannot be removed: " + std::strerror(errno);
    code = KYCM_SHARED_STATE_REFUSED;
  } else {
    *message = "shared state " + name + " cleared" + (damage.empty() ? "" : " (it was refused: " + damage + ")");
  }
  flock(fd, LOCK_UN);
  ::close(fd);
  s.fd = -1;
  return code;
}

// The attachment of the platform in force, per process.
namespace {

struct Attachment {
  std::mutex mutex;
  const Platform* platform = nullptr;  // kept alive by `keep`
  std::shared_ptr<const Platform> keep;
  uint64_t generation = 0;  // platform_generation() when `platform` was read
  int32_t pid = 0;
  std::shared_ptr<SharedState> state;
  uint32_t code = OK;
  std::string message;
};

Attachment& attachment() {
  static auto* a = new Attachment();  // never destroyed: worker threads may use it at exit
  return *a;
}

void leave_at_exit() {
  Attachment& a = attachment();
  std::lock_guard<std::mutex> lock(a.mutex);
  if (a.state) a.state->close();
}

std::shared_ptr<SharedState> resolve(Attachment& a) {
  const uint64_t generation = platform_generation();
  const int32_t pid = this_pid();
  if (a.platform != nullptr && generation == a.generation && pid == a.pid) return a.state;
  const auto platform = current_platform();
  a.generation = generation;
  if (platform.get() == a.platform && pid == a.pid) return a.state;
  const bool shared = shares_state(*platform);
  if (pid != a.pid) {
    // A forked child: the parent's slot stays the parent's.
    if (a.state) new std::shared_ptr<SharedState>(std::move(a.state));
  } else if (a.state && shared && a.state->name() == shared_state_name(*platform)) {
    a.platform = platform.get();
    a.keep = platform;
    return a.state;
  }
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(leave_at_exit); });
  a.state.reset();
  a.code = OK;
  a.message.clear();
  if (shared) {
    a.state = SharedState::attach(*platform, &a.code, &a.message);
    if (!a.state) std::fprintf(stderr, "quillon: %s\n", a.message.c_str());
  }
  a.platform = platform.get();
  a.keep = platform;
  a.pid = pid;
  return a.state;
}

}  // namespace

std::shared_ptr<SharedState> shared_state(uint32_t* refused) {
  Attachment& a = attachment();
  std::lock_guard<std::mutex> lock(a.mutex);
  auto state = resolve(a);
  if (refused != nullptr) *refused = a.code;
  return state;
}

uint32_t shared_state_status(std::string* message) {
  Attachment& a = attachment();
  std::lock_guard<std::mutex> lock(a.mutex);
  resolve(a);
  if (message != nullptr) *message = a.message;
  return a.code;
}

}  // namespace kycore
