// The platform-shaped wave-input and memory calls themselves: results, flags, texts.

#include "capture/wavein.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "capture/wave_drivers.h"

namespace {

// The values and layouts code written for the platform relies on.
static_assert(MMSYSERR_NOERROR == 0 && MMSYSERR_ERROR == 1 && MMSYSERR_BADDEVICEID == 2 &&
              MMSYSERR_ALLOCATED == 4 && MMSYSERR_INVALHANDLE == 5 && MMSYSERR_NODRIVER == 6 &&
              MMSYSERR_NOMEM == 7 && MMSYSERR_INVALFLAG == 10 && MMSYSERR_INVALPARAM == 11);
static_assert(WAVERR_BADFORMAT == 32 && WAVERR_STILLPLAYING == 33 && WAVERR_UNPREPARED == 34);
static_assert(WHDR_DONE == 1 && WHDR_PREPARED == 2 && WHDR_INQUEUE == 0x10);
static_assert(GMEM_ZEROINIT == 0x40 && GMEM_FIXED == 0);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 &&
              offsetof(WAVEFORMATEX, nBlockAlign) == 12 && offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(offsetof(WAVEHDR, dwBufferLength) == sizeof(void*) &&
              offsetof(WAVEHDR, dwFlags) == 2 * sizeof(void*) + 8);

const WAVEFORMATEX kFormat{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};

std::string Text(MMRESULT code, UINT capacity = MAXERRORLENGTH) {
  std::vector<char> buffer(capacity + 1, '#');
  waveInGetErrorTextA(code, buffer.data(), capacity);
  return buffer.data();
}

class WaveInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::int16_t> samples(64, 5);
    quorvane::UseMemoryWaveInput(samples);
    ASSERT_EQ(waveInOpen(&device, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    memory = GlobalAlloc(GPTR, 32);
    header.lpData = static_cast<LPSTR>(GlobalLock(memory));
    header.dwBufferLength = 32;
  }
  void TearDown() override {
    waveInReset(device);
    waveInUnprepareHeader(device, &header, sizeof header);
    waveInClose(device);
    GlobalFree(memory);
    quorvane::UsePulseWaveInput();
  }

  HWAVEIN device = nullptr;
  HGLOBAL memory = nullptr;
  WAVEHDR header{};
};

// ---- Opening -----------------------------------------------------------------------------

TEST_F(WaveInTest, OnlySixteenBitMonoPcmAt22050IsAccepted) {
  const std::vector<WAVEFORMATEX> refused = {
      {3, 1, 22050, 44100, 2, 16, 0},  // float
      {WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 0},
      {WAVE_FORMAT_PCM, 1, 22050, 22050, 1, 8, 0},
      {WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16, 0},
      {WAVE_FORMAT_PCM, 1, 22050, 44100, 4, 16, 0},  // block align
      {WAVE_FORMAT_PCM, 1, 22050, 1, 2, 16, 0},      // average bytes
  };
  for (const WAVEFORMATEX& format : refused) {
    HWAVEIN other = reinterpret_cast<HWAVEIN>(1);
    EXPECT_EQ(waveInOpen(&other, 0, &format, 0, 0, 0), WAVERR_BADFORMAT);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(waveInOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  }
  EXPECT_EQ(waveInOpen(nullptr, 0, &kFormat, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
}

TEST_F(WaveInTest, OpenRefusesOtherDevicesCallbacksAndASecondOpen) {
  HWAVEIN other = nullptr;
  EXPECT_EQ(waveInOpen(&other, 1, &kFormat, 0, 0, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInOpen(&other, 0, &kFormat, 0x1234, 0, 0x00030000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(waveInOpen(&other, 0, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInOpen(&other, WAVE_MAPPER, &kFormat, 0, 0, 0), MMSYSERR_ALLOCATED);
}

// ---- Buffers -----------------------------------------------------------------------------

TEST_F(WaveInTest, BufferFlagsFollowPrepareQueueDoneUnprepare) {
  ASSERT_EQ(waveInPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, WHDR_PREPARED);
  ASSERT_EQ(waveInAddBuffer(device, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);  // not started: nothing recorded
  EXPECT_EQ(header.dwBytesRecorded, 0u);
  ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(header.dwBytesRecorded, 32u);
  EXPECT_EQ(std::memcmp(header.lpData, std::vector<std::int16_t>(16, 5).data(), 32), 0);
  EXPECT_EQ(waveInUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, WHDR_DONE);
}

TEST_F(WaveInTest, QueuedBuffersCannotBeUnpreparedOrClosedOver) {
  ASSERT_EQ(waveInPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(device, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInUnprepareHeader(device, &header, sizeof header), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInAddBuffer(device, &header, sizeof header), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInPrepareHeader(device, &header, sizeof header), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInClose(device), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInReset(device), MMSYSERR_NOERROR);  // hands it back, done, empty
  EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(header.dwBytesRecorded, 0u);
}

TEST_F(WaveInTest, UnpreparedOrMalformedHeadersAreRefused) {
  EXPECT_EQ(waveInAddBuffer(device, &header, sizeof header), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInPrepareHeader(device, &header, 32 + sizeof header), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInPrepareHeader(device, nullptr, sizeof header), MMSYSERR_INVALPARAM);
  WAVEHDR empty{};
  EXPECT_EQ(waveInPrepareHeader(device, &empty, sizeof empty), MMSYSERR_INVALPARAM);
}

TEST_F(WaveInTest, StaleAndMadeUpHandlesAreInvalid) {
  HWAVEIN bogus = reinterpret_cast<HWAVEIN>(0x1230);
  EXPECT_EQ(waveInStart(bogus), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInReset(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(device), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStop(device), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInPrepareHeader(device, &header, sizeof header), MMSYSERR_INVALHANDLE);
  HWAVEIN again = nullptr;
  ASSERT_EQ(waveInOpen(&again, 0, &kFormat, 0, 0, 0), MMSYSERR_NOERROR);
  EXPECT_NE(again, device);  // handles are not reused
  device = again;
}

// ---- Texts -------------------------------------------------------------------------------

TEST(WaveInErrorText, EachResultHasItsOwnSentence) {
  std::set<std::string> texts;
  for (MMRESULT code :
       {MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_ALLOCATED, MMSYSERR_INVALHANDLE,
        MMSYSERR_NODRIVER, MMSYSERR_NOMEM, MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM,
        WAVERR_BADFORMAT, WAVERR_STILLPLAYING, WAVERR_UNPREPARED}) {
    char buffer[MAXERRORLENGTH];
    EXPECT_EQ(waveInGetErrorTextA(code, buffer, sizeof buffer), MMSYSERR_NOERROR);
    const std::string text = buffer;
    EXPECT_GT(text.size(), 20u);
    EXPECT_EQ(text.back(), '.');
    texts.insert(text.substr(0, text.find('.')));
  }
  EXPECT_EQ(texts.size(), 11u);
  char buffer[MAXERRORLENGTH];
  EXPECT_EQ(waveInGetErrorTextA(999, buffer, sizeof buffer), MMSYSERR_BADERRNUM);
  EXPECT_STREQ(buffer, "Unknown sound input error 999.");
}

TEST(WaveInErrorText, TruncatedToCapacityAndAlwaysTerminated) {
  const std::string whole = Text(WAVERR_BADFORMAT);
  EXPECT_EQ(Text(WAVERR_BADFORMAT, 10), whole.substr(0, 9));
  EXPECT_EQ(Text(WAVERR_BADFORMAT, 1), "");
  char untouched = '#';
  EXPECT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, &untouched, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, nullptr, 10), MMSYSERR_INVALPARAM);
}

TEST(WaveInErrorText, TheDriverReasonFollowsTheLastFailureOnly) {
  quorvane::UseMemoryWaveInput({});
  HWAVEIN first = nullptr, second = nullptr;
  ASSERT_EQ(waveInOpen(&first, 0, &kFormat, 0, 0, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInOpen(&second, 0, &kFormat, 0, 0, 0), MMSYSERR_ALLOCATED);
  EXPECT_EQ(Text(MMSYSERR_ALLOCATED),
            "The sound input device is already in use or was refused. Device 0 is already open.");
  EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Text(MMSYSERR_ALLOCATED), "The sound input device is already in use or was refused.");
  waveInClose(first);
  quorvane::UsePulseWaveInput();
}

// ---- Global memory -----------------------------------------------------------------------

TEST(GlobalMemory, ZeroFilledFixedBlocksAndSafeFrees) {
  const std::size_t before = quorvane::LiveGlobalBlocks();
  HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 4096);
  ASSERT_NE(block, nullptr);
  auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
  EXPECT_EQ(static_cast<void*>(bytes), block);
  EXPECT_EQ(std::count(bytes, bytes + 4096, 0), 4096);
  EXPECT_EQ(quorvane::LiveGlobalBlocks(), before + 1);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalFree(block), block);  // already freed: refused, not a crash
  EXPECT_EQ(GlobalLock(block), nullptr);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
  EXPECT_EQ(quorvane::LiveGlobalBlocks(), before);
  EXPECT_EQ(GlobalAlloc(GPTR, static_cast<SIZE_T>(-2)), nullptr);  // out of memory
}

TEST(GlobalMemory, MoveMemoryCopiesOverlappingRanges) {
  char text[] = "abcdef";
  RtlMoveMemory(text + 1, text, 4);
  EXPECT_STREQ(text, "aabcdf");
}

}  // namespace
