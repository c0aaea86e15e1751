#include "capture/wavein.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "capture/device_handles.h"
#include "capture/last_failure.h"
#include "capture/wave_driver.h"
#include "capture/wave_drivers.h"
#include "common/fixed_sizes.h"

namespace quorvane::wavein {

bool IsSupportedFormat(const WAVEFORMATEX& f) {
  return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels == 1 && f.wBitsPerSample == 16 &&
         f.nSamplesPerSec == quorvane::kSampleRate && f.nBlockAlign == 2 &&
         f.nAvgBytesPerSec == quorvane::kBytesPerSecond;
}

}  // namespace quorvane::wavein

using quorvane::wavein::Device;
using quorvane::wavein::Fail;

namespace {

using quorvane::wavein::DeviceHandles;
using quorvane::wavein::Find;
using quorvane::wavein::OpenDevice;
using quorvane::wavein::TheDeviceHandles;

DWORD LoadFlags(const WAVEHDR* header) {
  return std::atomic_ref<DWORD>(const_cast<WAVEHDR*>(header)->dwFlags)
      .load(std::memory_order_acquire);
}

MMRESULT CheckHeader(const WAVEHDR* header, UINT size) {
  if (header == nullptr || size != sizeof(WAVEHDR)) return Fail(MMSYSERR_INVALPARAM);
  return MMSYSERR_NOERROR;
}

const char* BaseText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The operation completed successfully.";
    case MMSYSERR_ERROR:
      return "The sound input driver failed.";
    case MMSYSERR_BADDEVICEID:
      return "There is no sound input device with that number.";
    case MMSYSERR_NOTENABLED:
      return "The sound input driver is not enabled.";
    case MMSYSERR_ALLOCATED:
      return "The sound input device is already in use or was refused.";
    case MMSYSERR_INVALHANDLE:
      return "The sound input handle is not valid.";
    case MMSYSERR_NODRIVER:
      return "The sound input device is not answering.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory for sound input.";
    case MMSYSERR_NOTSUPPORTED:
      return "The sound input driver does not support this function.";
    case MMSYSERR_BADERRNUM:
      return "The error number is out of range.";
    case MMSYSERR_INVALFLAG:
      return "A flag passed to the sound input device is not valid.";
    case MMSYSERR_INVALPARAM:
      return "A parameter passed to the sound input device is not valid.";
    case WAVERR_BADFORMAT:
      return "The sound input device cannot record in the requested format.";
    case WAVERR_STILLPLAYING:
      return "The sound input buffer is still queued for recording.";
    case WAVERR_UNPREPARED:
      return "The sound input buffer has not been prepared.";
    case WAVERR_SYNC:
      return "The sound input device can only be used synchronously.";
    default:
      return nullptr;
  }
}

}  // namespace

MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen) {
  (void)dwInstance;
  const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
  if ((fdwOpen & ~WAVE_FORMAT_QUERY) != 0 || dwCallback != 0) return Fail(MMSYSERR_INVALFLAG);
  if (pwfx == nullptr || (phwi == nullptr && !query)) return Fail(MMSYSERR_INVALPARAM);
  if (!query) *phwi = nullptr;
  if (uDeviceID != 0 && uDeviceID != WAVE_MAPPER) return Fail(MMSYSERR_BADDEVICEID);
  if (!quorvane::wavein::IsSupportedFormat(*pwfx)) return Fail(WAVERR_BADFORMAT);
  if (query) return MMSYSERR_NOERROR;

  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  try {
    OpenDevice entry;
    entry.driver = quorvane::wavein::CurrentDriver();
    const MMRESULT result = entry.driver->Open(entry.device);
    if (result != MMSYSERR_NOERROR) return result;
    // A handle is an opaque number in the platform's pointer type; nothing reads through it.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto handle = reinterpret_cast<HWAVEIN>(devices.next++ << 4);
    devices.open.emplace(handle, std::move(entry));
    *phwi = handle;
    return MMSYSERR_NOERROR;
  } catch (const std::bad_alloc&) {
    return Fail(MMSYSERR_NOMEM);
  }
}

MMRESULT waveInClose(HWAVEIN hwi) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  Device* device = Find(devices, hwi);
  if (device == nullptr) return Fail(MMSYSERR_INVALHANDLE);
  if (device->HasQueued()) return Fail(WAVERR_STILLPLAYING);
  device->Close();
  devices.open.erase(hwi);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  if (Find(devices, hwi) == nullptr) return Fail(MMSYSERR_INVALHANDLE);
  if (const MMRESULT r = CheckHeader(pwh, cbwh); r != MMSYSERR_NOERROR) return r;
  if (pwh->lpData == nullptr) return Fail(MMSYSERR_INVALPARAM);
  const DWORD flags = LoadFlags(pwh);
  if (flags & WHDR_INQUEUE) return Fail(WAVERR_STILLPLAYING);
  pwh->dwFlags = flags | WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  if (Find(devices, hwi) == nullptr) return Fail(MMSYSERR_INVALHANDLE);
  if (const MMRESULT r = CheckHeader(pwh, cbwh); r != MMSYSERR_NOERROR) return r;
  const DWORD flags = LoadFlags(pwh);
  if (flags & WHDR_INQUEUE) return Fail(WAVERR_STILLPLAYING);
  pwh->dwFlags = flags & ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  Device* device = Find(devices, hwi);
  if (device == nullptr) return Fail(MMSYSERR_INVALHANDLE);
  if (const MMRESULT r = CheckHeader(pwh, cbwh); r != MMSYSERR_NOERROR) return r;
  const DWORD flags = LoadFlags(pwh);
  if (!(flags & WHDR_PREPARED)) return Fail(WAVERR_UNPREPARED);
  if (flags & WHDR_INQUEUE) return Fail(WAVERR_STILLPLAYING);
  if (pwh->dwBufferLength == 0) return Fail(MMSYSERR_INVALPARAM);
  return device->AddBuffer(pwh);
}

MMRESULT waveInStart(HWAVEIN hwi) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  Device* device = Find(devices, hwi);
  return device == nullptr ? Fail(MMSYSERR_INVALHANDLE) : device->Start();
}

MMRESULT waveInStop(HWAVEIN hwi) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  Device* device = Find(devices, hwi);
  return device == nullptr ? Fail(MMSYSERR_INVALHANDLE) : device->Stop();
}

MMRESULT waveInReset(HWAVEIN hwi) {
  DeviceHandles& devices = TheDeviceHandles();
  std::lock_guard lock(devices.mutex);
  Device* device = Find(devices, hwi);
  return device == nullptr ? Fail(MMSYSERR_INVALHANDLE) : device->Reset();
}

MMRESULT waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
  if (pszText == nullptr) return MMSYSERR_INVALPARAM;
  if (cchText == 0) return MMSYSERR_NOERROR;
  MMRESULT result = MMSYSERR_NOERROR;
  std::string text;
  if (const char* base = BaseText(mmrError)) {
    text = base;
    if (const std::string detail = quorvane::wavein::LastFailureDetail(mmrError); !detail.empty())
      text += " " + detail;
  } else {
    text = "Unknown sound input error " + std::to_string(mmrError) + ".";
    result = MMSYSERR_BADERRNUM;
  }
  const std::size_t n = std::min<std::size_t>(text.size(), cchText - 1);
  std::memcpy(pszText, text.data(), n);
  pszText[n] = '\0';
  return result;
}
