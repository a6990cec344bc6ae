// The spare picture planes: what a closed pool leaves goes to the next pool
// of the same size, as it was; new planes are zeroed; small planes and planes
// beyond the limit are freed, the oldest first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kyme/spare_planes.h"
#include "stress.h"

using kyme::kSmallestSparePlane;
using kyme::kSparePlaneBytes;
using kyme::spare_plane_bytes;
using kyme::spare_plane_pool;

namespace {

// Planes of a pool, taken and then all given back with the pool closed.
std::vector<uint8_t*> take_and_close(std::size_t size, int count, uint8_t fill) {
  AVBufferPool* pool = spare_plane_pool(size);
  std::vector<AVBufferRef*> held;
  std::vector<uint8_t*> data;
  for (int i = 0; i < count; ++i) {
    held.push_back(av_buffer_pool_get(pool));
    data.push_back(held.back()->data);
    std::memset(held.back()->data, fill, size);
  }
  av_buffer_pool_uninit(&pool);  // planes still out go back as they are released
  for (AVBufferRef*& buffer : held) av_buffer_unref(&buffer);
  return data;
}

TEST(SparePlanes, AClosedPoolsPlanesGoAsTheyAreToTheNextPoolOfTheirSizeOnly) {
  const std::size_t size = kSmallestSparePlane + 4096 + 7;
  const std::size_t before = spare_plane_bytes();
  const std::vector<uint8_t*> left = take_and_close(size, 3, 0xA5);
  EXPECT_EQ(spare_plane_bytes(), before + 3 * size);

  AVBufferPool* other = spare_plane_pool(size + 64);
  AVBufferRef* fresh = av_buffer_pool_get(other);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(fresh->data, fresh->data + size + 64), std::vector<uint8_t>(size + 64, 0));
  EXPECT_EQ(spare_plane_bytes(), before + 3 * size);

  AVBufferPool* same = spare_plane_pool(size);
  AVBufferRef* reused = av_buffer_pool_get(same);
  ASSERT_NE(reused, nullptr);
  EXPECT_NE(std::find(left.begin(), left.end(), reused->data), left.end());
  EXPECT_EQ(reused->data[0], 0xA5);
  EXPECT_EQ(reused->data[size - 1], 0xA5);
  EXPECT_EQ(spare_plane_bytes(), before + 2 * size);

  av_buffer_unref(&fresh);
  av_buffer_unref(&reused);
  av_buffer_pool_uninit(&other);
  av_buffer_pool_uninit(&same);
}

TEST(SparePlanes, SmallPlanesAreFreed) {
  const std::size_t before = spare_plane_bytes();
  take_and_close(kSmallestSparePlane - 1, 4, 1);
  EXPECT_EQ(spare_plane_bytes(), before);
}

TEST(SparePlanes, BeyondTheLimitTheOldestAreFreed) {
  const std::size_t older = 1u << 20;
  const std::size_t size = 4u << 20;
  take_and_close(older, 2, 3);
  const auto count = kSparePlaneBytes / size + 3;
  const std::vector<uint8_t*> left = take_and_close(size, static_cast<int>(count), 2);
  EXPECT_EQ(spare_plane_bytes(), kSparePlaneBytes);

  // What is kept is the newest planes, those of the limit's worth: the
  // older planes went first.
  AVBufferPool* pool = spare_plane_pool(size);
  std::vector<AVBufferRef*> taken;
  for (std::size_t i = 0; i < kSparePlaneBytes / size; ++i) {
    taken.push_back(av_buffer_pool_get(pool));
    EXPECT_NE(std::find(left.begin(), left.end(), taken.back()->data), left.end());
  }
  EXPECT_EQ(spare_plane_bytes(), 0u);
  for (AVBufferRef*& buffer : taken) av_buffer_unref(&buffer);
  av_buffer_pool_uninit(&pool);
}

// Frame pools opening, handing out and closing on eight threads at once, of
// three sizes (one too small to keep), with more planes out than the store
// keeps: no plane is ever out twice, and the store keeps to its limit.
TEST(SparePlanesStress, PoolsOnEightThreads) {
  const std::size_t sizes[] = {kSmallestSparePlane / 2, 1u << 20, 3u << 20};
  stress::run_threads([&](int thread, std::minstd_rand& random) {
    const std::size_t size = sizes[random() % 3];
    AVBufferPool* pool = spare_plane_pool(size);
    std::vector<AVBufferRef*> held(1 + random() % 4);
    for (std::size_t i = 0; i < held.size(); ++i) {
      held[i] = av_buffer_pool_get(pool);
      ASSERT_NE(held[i], nullptr);
      held[i]->data[0] = static_cast<uint8_t>(thread);
      held[i]->data[size - 1] = static_cast<uint8_t>(i);
    }
    if (random() % 2) av_buffer_pool_uninit(&pool);
    std::this_thread::yield();
    for (std::size_t i = 0; i < held.size(); ++i) {
      EXPECT_EQ(held[i]->data[0], thread);
      EXPECT_EQ(held[i]->data[size - 1], i);
      av_buffer_unref(&held[i]);
    }
    av_buffer_pool_uninit(&pool);
    EXPECT_LE(spare_plane_bytes(), kSparePlaneBytes);
  });
}

}  // namespace
