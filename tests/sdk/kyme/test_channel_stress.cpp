// Media channels under eight threads: decoder and encoder control calls
// racing each other, their work and systemUninitialize; channel creation
// racing systemUninitialize; resets of the device under running decoders.
// ctest runs it in the release build, scripts/tsan.sh under
// ThreadSanitizer. Each case checks every call's code and what the channel
// tables hold afterwards; a hang ends the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <random>
#include <thread>
#include <vector>

#include "kycm.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "kyme.h"
#include "stress.h"

using namespace kycore;
using stress::one_of;
using stress::run_threads;

namespace {

constexpr std::size_t kWidth = 160;
constexpr std::size_t kHeight = 128;
constexpr std::size_t kLuma = kWidth * kHeight;

// The channels of every case: JPEG, in 4:2:0.
kymeRet_t create_decoder(uint32_t channel) {
  kymeDecChannelParameters p{};
  p.codecType = KYME_CODEC_DEC_JPEG;
  p.sourceMode = KYME_SRC_FRAME;
  p.pixelFormat = KYME_PIX_FMT_YUV420P;
  p.extraBufferNumber = 2;
  return kymeCreateDecoderChannel(&p, channel);
}

kymeRet_t create_encoder(uint32_t channel) {
  kymeEncChannelParameters p{};
  p.codecType = KYME_CODEC_ENC_JPEG;
  p.config.jpeg.codingWidth = kWidth;
  p.config.jpeg.codingHeight = kHeight;
  p.config.jpeg.frameType = KYME_PIX_FMT_YUV420P;
  return kymeCreateEncoderChannel(&p, channel);
}

// A YUV 4:2:0 picture in host memory: a diagonal ramp.
struct HostPicture {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kLuma * 3 / 2);
  kymeFrame frame{};
  HostPicture() {
    for (std::size_t y = 0; y < kHeight; ++y) {
      for (std::size_t x = 0; x < kWidth; ++x) bytes[y * kWidth + x] = static_cast<uint8_t>(x + 2 * y);
    }
    for (std::size_t i = kLuma; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(96 + i % 64);
    frame.data[0] = bytes.data();
    frame.data[1] = bytes.data() + kLuma;
    frame.data[2] = frame.data[1] + kLuma / 4;
    frame.stride[0] = kWidth;
    frame.stride[1] = frame.stride[2] = kWidth / 2;
    frame.dataSize = static_cast<uint32_t>(bytes.size());
    frame.width = kWidth;
    frame.height = kHeight;
    frame.memoryType = KYME_MEM_HOST;
    frame.pixelFormat = KYME_PIX_FMT_YUV420P;
  }
};

class MediaChannelStress : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kycmInitialize(nullptr), 0u);
    ASSERT_EQ(kymeSystemInitialize(), 0u);
    ASSERT_EQ(kymeGetDecoderAvailableChannels(&decoders_), 0u);
    ASSERT_EQ(kymeGetEncoderAvailableChannels(&encoders_), 0u);
    make_jpeg();
  }
  void TearDown() override {
    kymeSystemUninitialize();
    kycmUninitialize();
  }

  // The JPEG the decoders are fed, made by the encoder.
  void make_jpeg() {
    ASSERT_EQ(create_encoder(0), 0u);
    ASSERT_EQ(kymeStartEncoder(0), 0u);
    kymeStream stream{};
    ASSERT_EQ(kymeJpegSyncEncoder(0, &picture_.frame, &stream, nullptr, 10000), 0u);
    jpeg_.assign(stream.data, stream.data + stream.length);
    ASSERT_EQ(kymeEncReleaseStream(0, &stream, 0), 0u);
    ASSERT_EQ(kymeDestoryEncoderChannel(0), 0u);
  }

  kymeStream jpeg_stream() {
    kymeStream stream{};
    stream.data = jpeg_.data();
    stream.length = static_cast<uint32_t>(jpeg_.size());
    return stream;
  }

  void expect_every_channel_free() {
    uint32_t decoders = 0, encoders = 0;
    EXPECT_EQ(kymeGetDecoderAvailableChannels(&decoders), 0u);
    EXPECT_EQ(kymeGetEncoderAvailableChannels(&encoders), 0u);
    EXPECT_EQ(decoders, decoders_) << "a decoder channel survived systemUninitialize";
    EXPECT_EQ(encoders, encoders_) << "an encoder channel survived systemUninitialize";
  }

  // Every channel number is free again once the media system is restarted.
  void expect_tables_empty_after_restart() {
    kymeSystemUninitialize();
    ASSERT_EQ(kymeSystemInitialize(), 0u);
    expect_every_channel_free();
  }

  HostPicture picture_;
  std::vector<uint8_t> jpeg_;
  uint32_t decoders_ = 0;
  uint32_t encoders_ = 0;
};

// The control calls of one kind of channel.
struct Controls {
  kymeRet_t (*create)(uint32_t);
  kymeRet_t (*start)(uint32_t);
  kymeRet_t (*stop)(uint32_t);
  kymeRet_t (*reset)(uint32_t);
  kymeRet_t (*destroy)(uint32_t);
};
const Controls kDecoder{create_decoder, kymeStartDecoder, kymeStopDecoder, kymeResetDecoder, kymeDestoryDecoderChannel};
const Controls kEncoder{create_encoder, kymeStartEncoder, kymeStopEncoder, kymeResetEncoder, kymeDestoryEncoderChannel};

TEST_F(MediaChannelStress, ControlCallsRacingEachOtherAllReturn) {
  run_threads([&](int t, std::minstd_rand& random) {
    if (t == 0 && random() % 40 == 0) {
      EXPECT_CODE(kymeSystemUninitialize(), OK, KYME_NOT_INITIALIZED);
      EXPECT_CODE(kymeSystemInitialize(), OK, KYME_ALREADY_INITIALIZED);
      return;
    }
    const uint32_t channel = random() % 2;
    const bool decoder = random() % 2 == 0;
    const Controls& calls = decoder ? kDecoder : kEncoder;
    // Every call may also find the channel gone or the system uninitialised.
    switch (random() % 8) {
      case 0:
        EXPECT_CODE(calls.create(channel), OK, KYME_CHANNEL_BUSY, KYME_NOT_INITIALIZED);
        break;
      case 1:
        EXPECT_CODE(calls.destroy(channel), OK, KYME_INVALID_CHANNEL, KYME_NOT_INITIALIZED);
        break;
      case 2:
      case 3:
        EXPECT_CODE(calls.start(channel), OK, KYME_WRONG_STATE, KYME_INVALID_CHANNEL, KYME_NOT_INITIALIZED);
        break;
      case 4:
        EXPECT_CODE(calls.stop(channel), OK, KYME_WRONG_STATE, KYME_INVALID_CHANNEL, KYME_NOT_INITIALIZED);
        break;
      case 5:
        EXPECT_CODE(calls.reset(channel), OK, KYME_INVALID_CHANNEL, KYME_NOT_INITIALIZED);
        break;
      default: {
        // Work for the worker, and a result taken back. A release finds the
        // picture unknown when another thread destroyed the channel and made
        // a new one.
        const std::initializer_list<uint32_t> codes = {OK, KYME_TIMEOUT, KYME_WRONG_STATE, KYME_INVALID_CHANNEL,
                                                       KYME_NOT_INITIALIZED};
        uint32_t code = 0;
        if (decoder) {
          kymeStream stream = jpeg_stream();
          EXPECT_TRUE(one_of(kymeSendStreamToDecoder(channel, &stream, 1), codes));
          kymeFrame frame{};
          EXPECT_TRUE(one_of(code = kymeReceiveFrameFromDecoder(channel, &frame, nullptr, 1), codes));
          if (code == OK) {
            EXPECT_CODE(kymeDecReleaseFrame(channel, &frame, 0), OK, KYME_UNKNOWN_FRAME, KYME_INVALID_CHANNEL,
                        KYME_NOT_INITIALIZED);
          }
        } else {
          kymeFrame frame = picture_.frame;
          EXPECT_TRUE(one_of(kymeSendFrameToEncoder(channel, &frame, nullptr, 1), codes));
          kymeStream stream{};
          EXPECT_TRUE(one_of(code = kymeReceiveStreamFromEncoder(channel, &stream, 1), codes));
          if (code == OK) {
            EXPECT_CODE(kymeEncReleaseStream(channel, &stream, 0), OK, KYME_UNKNOWN_STREAM, KYME_INVALID_CHANNEL,
                        KYME_NOT_INITIALIZED);
          }
        }
      }
    }
  });
  expect_tables_empty_after_restart();
}

// Thread 0 uninitialises the media system while the others create and
// start channels; then, with creation paused, it initialises it again and
// finds every channel number free.
TEST_F(MediaChannelStress, NoChannelCreatedDuringUninitializeSurvivesIt) {
  std::atomic<bool> paused{false};
  std::atomic<int> creating{0};
  run_threads([&](int t, std::minstd_rand& random) {
    if (t == 0) {
      EXPECT_CODE(kymeSystemUninitialize(), OK);
      paused.store(true);
      while (creating.load() != 0) std::this_thread::yield();
      EXPECT_CODE(kymeSystemInitialize(), OK);
      expect_every_channel_free();
      paused.store(false);
      return;
    }
    creating.fetch_add(1);
    if (paused.load()) {
      creating.fetch_sub(1);
      std::this_thread::yield();
      return;
    }
    // Started channels make the uninitialisation longer: it joins their workers.
    const uint32_t channel = random() % 16;
    const Controls& calls = random() % 2 == 0 ? kDecoder : kEncoder;
    EXPECT_CODE(calls.create(channel), OK, KYME_CHANNEL_BUSY, KYME_NOT_INITIALIZED);
    EXPECT_CODE(calls.start(channel), OK, KYME_WRONG_STATE, KYME_INVALID_CHANNEL, KYME_NOT_INITIALIZED);
    creating.fetch_sub(1);
  });
  expect_tables_empty_after_restart();
}

// Channels 1 to 3 are fed and drained by two threads each, channel 0 by
// synchronous decodes, while thread 0 resets die 0 (and at times releases
// and re-initialises the runtime). A picture received while no reset ran
// must lie in live memory and hold the decoded JPEG.
TEST_F(MediaChannelStress, DeviceResetsUnderRunningDecodersHandOutNoDeadPicture) {
  std::vector<uint8_t> expected;
  {
    for (uint32_t channel = 0; channel < 4; ++channel) {
      ASSERT_EQ(create_decoder(channel), 0u);
      ASSERT_EQ(kymeStartDecoder(channel), 0u);
    }
    kymeStream stream = jpeg_stream();
    kymeFrame frame{};
    ASSERT_EQ(kymeJpegSyncDecoder(0, &stream, &frame, 10000), 0u);
    expected.resize(frame.dataSize);
    ASSERT_EQ(kycmMemcpy(frame.data[0], expected.data(), frame.dataSize, kycmCT_COPY_FROM_DEVICE), 0u);
    ASSERT_EQ(kymeDecReleaseFrame(0, &frame, 0), 0u);
  }
  // Odd while a reset runs.
  std::atomic<uint64_t> resets{0};
  std::atomic<uint64_t> checked{0};
  const auto check = [&](const kymeFrame& frame, uint64_t before) {
    std::vector<uint8_t> host(frame.dataSize);
    const uint32_t copied = kycmMemcpy(frame.data[0], host.data(), frame.dataSize, kycmCT_COPY_FROM_DEVICE);
    if (before % 2 != 0 || resets.load() != before) return;  // a reset may have taken it meanwhile
    EXPECT_EQ(copied, 0u) << "a picture at a freed address";
    EXPECT_TRUE(host == expected) << "a picture that is not the decoded one";
    checked.fetch_add(1);
  };
  // A picture a reset freed may have been taken back already by a channel
  // whose pool ran full.
  const auto release = [&](uint32_t channel, kymeFrame& frame, uint64_t before) {
    const uint32_t code = kymeDecReleaseFrame(channel, &frame, 0);
    EXPECT_TRUE(code == OK || (code == KYME_UNKNOWN_FRAME && resets.load() != before)) << "release returned " << code;
  };
  run_threads([&](int t, std::minstd_rand& random) {
    if (t == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      resets.fetch_add(1);
      if (random() % 8 == 0) {
        EXPECT_EQ(kycmUninitialize(), 0u);
        EXPECT_EQ(kycmInitialize(nullptr), 0u);
      } else {
        EXPECT_EQ(kycmResetDevice(0), 0u);
      }
      resets.fetch_add(1);
      return;
    }
    if (t == 7) {
      const uint64_t before = resets.load();
      kymeStream stream = jpeg_stream();
      kymeFrame frame{};
      const uint32_t code = kymeJpegSyncDecoder(0, &stream, &frame, 100);
      EXPECT_TRUE(one_of(code, {OK, KYME_TIMEOUT, KYME_OUT_OF_MEMORY})) << "synchronous decode returned " << code;
      if (code != OK) return;
      check(frame, before);
      release(0, frame, before);
      return;
    }
    const uint32_t channel = 1 + (t - 1) % 3;
    if (t <= 3) {
      kymeStream stream = jpeg_stream();
      EXPECT_CODE(kymeSendStreamToDecoder(channel, &stream, 10), OK, KYME_TIMEOUT);
      return;
    }
    const uint64_t before = resets.load();
    kymeFrame frame{};
    const uint32_t code = kymeReceiveFrameFromDecoder(channel, &frame, nullptr, 10);
    EXPECT_TRUE(one_of(code, {OK, KYME_TIMEOUT})) << "receive returned " << code;
    if (code != OK) return;
    check(frame, before);
    release(channel, frame, before);
  });
  EXPECT_GT(checked.load(), 0u);
  for (uint32_t channel = 0; channel < 4; ++channel) EXPECT_EQ(kymeDestoryDecoderChannel(channel), 0u);
  // Every block the channels still had is released, and none of another owner.
  EXPECT_EQ(DeviceMemory::instance().block_count(0), 0u);
  expect_tables_empty_after_restart();
}

}  // namespace
