// The numbered channels of one kind (decoder or encoder) and how a call
// reaches one: the table's lock is held only to find the channel, never while
// the call runs, so a channel blocked in a wait blocks no other. Each channel
// also holds its number in the card's state, so no other process takes it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "decoder_registry.h"
#include "kycore/error_codes.h"
#include "kycore/shared_state.h"

namespace kyme {

// A channel number held in the card's state for as long as the claim lives.
class NumberClaim {
 public:
  NumberClaim() = default;
  NumberClaim(NumberClaim&& other) noexcept { *this = std::move(other); }
  // Swaps, so that the claim this one held is given back by `other`.
  NumberClaim& operator=(NumberClaim&& other) noexcept {
    std::swap(shared_, other.shared_);
    std::swap(kind_, other.kind_);
    std::swap(device_, other.device_);
    std::swap(number_, other.number_);
    return *this;
  }
  ~NumberClaim() {
    if (shared_) shared_->release_channel(kind_, device_, number_);
  }

  // OK, KYME_CHANNEL_BUSY when another process uses the number, or
  // KYME_INTERNAL_ERROR when the card's state is refused.
  uint32_t take(kycore::ChannelKind kind, int32_t device, uint32_t number, bool jpeg) {
    uint32_t refused = kycore::OK;
    auto shared = kycore::shared_state(&refused);
    if (refused != kycore::OK) return kycore::KYME_INTERNAL_ERROR;
    if (!shared) return kycore::OK;
    const uint32_t code = shared->claim_channel(kind, device, number, jpeg);
    if (code == kycore::KYCM_SHARED_STATE_REFUSED) return kycore::KYME_INTERNAL_ERROR;
    if (code != kycore::OK) return code;
    shared_ = std::move(shared);
    kind_ = kind;
    device_ = device;
    number_ = number;
    return kycore::OK;
  }

 private:
  std::shared_ptr<kycore::SharedState> shared_;
  kycore::ChannelKind kind_ = kycore::ChannelKind::decoder;
  int32_t device_ = 0;
  uint32_t number_ = 0;
};

// Channels in use on the whole card: every process's when the state is shared.
inline std::size_t numbers_in_use(kycore::ChannelKind kind, std::size_t local) {
  auto shared = kycore::shared_state();
  return shared ? shared->channels_in_use(kind) : local;
}

template <class Channel>
class ChannelTable {
 public:
  // Never destroyed: worker threads may outlive static destruction.
  static ChannelTable& instance() {
    static auto* table = new ChannelTable();
    return *table;
  }

  bool contains(uint32_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_.count(number) != 0;
  }

  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_.size();
  }

  // Checked under the lock destroy_all takes: a channel is either refused
  // or added before a systemUninitialize empties the table.
  uint32_t add(uint32_t number, std::shared_ptr<Channel> channel, NumberClaim claim) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!media_initialized()) return kycore::KYME_NOT_INITIALIZED;
    return channels_.emplace(number, Entry{std::move(channel), std::move(claim)}).second
               ? uint32_t{kycore::OK}
               : uint32_t{kycore::KYME_CHANNEL_BUSY};
  }

  // Closes the channel, which wakes callers still waiting on it; the last
  // of them frees it.
  uint32_t destroy(uint32_t number) {
    if (!media_initialized()) return kycore::KYME_NOT_INITIALIZED;
    Entry gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = channels_.find(number);
      if (it == channels_.end()) return kycore::KYME_INVALID_CHANNEL;
      gone = std::move(it->second);
      channels_.erase(it);
    }
    // The number is free again with its table entry, as it always was in
    // this process; the channel then closes.
    gone.claim = NumberClaim();
    gone.channel->close();
    return kycore::OK;
  }

  void destroy_all() {
    std::unordered_map<uint32_t, Entry> channels;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      channels.swap(channels_);
    }
    for (auto& entry : channels) entry.second.channel->close();
  }

  // Runs `call(channel)` on the channel numbered `number`.
  template <class Call>
  uint32_t with(uint32_t number, Call call) {
    if (!media_initialized()) return kycore::KYME_NOT_INITIALIZED;
    std::shared_ptr<Channel> channel;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = channels_.find(number);
      if (it == channels_.end()) return kycore::KYME_INVALID_CHANNEL;
      channel = it->second.channel;
    }
    return call(*channel);
  }

 private:
  struct Entry {
    std::shared_ptr<Channel> channel;
    NumberClaim claim;
  };
  std::mutex mutex_;
  std::unordered_map<uint32_t, Entry> channels_;
};

}  // namespace kyme
