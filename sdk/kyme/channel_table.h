// The numbered channels of one kind (decoder or encoder) and how a call
// reaches one: the table's lock is held only to find the channel, never while
// the call runs, so a channel blocked in a wait blocks no other.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "decoder_registry.h"
#include "kycore/error_codes.h"

namespace kyme {

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
  uint32_t add(uint32_t number, std::shared_ptr<Channel> channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!media_initialized()) return kycore::KYME_NOT_INITIALIZED;
    return channels_.emplace(number, std::move(channel)).second ? uint32_t{kycore::OK}
                                                                : uint32_t{kycore::KYME_CHANNEL_BUSY};
  }

  // Closes the channel, which wakes callers still waiting on it; the last
  // of them frees it.
  uint32_t destroy(uint32_t number) {
    if (!media_initialized()) return kycore::KYME_NOT_INITIALIZED;
    std::shared_ptr<Channel> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = channels_.find(number);
      if (it == channels_.end()) return kycore::KYME_INVALID_CHANNEL;
      gone = std::move(it->second);
      channels_.erase(it);
    }
    gone->close();
    return kycore::OK;
  }

  void destroy_all() {
    std::unordered_map<uint32_t, std::shared_ptr<Channel>> channels;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      channels.swap(channels_);
    }
    for (auto& entry : channels) entry.second->close();
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
      channel = it->second;
    }
    return call(*channel);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<uint32_t, std::shared_ptr<Channel>> channels_;
};

}  // namespace kyme
