#pragma once

// The wave-input and global-memory calls the capture module is written against, with the
// names, record layouts, flag values and result codes of the Windows multimedia interface,
// so that the module builds unchanged against <windows.h>/<mmsystem.h> there. Here they are
// provided by our own layer: device 0 comes from the sound server (PulseAudio) or from
// samples in memory, whichever driver is selected (capture/wave_drivers.h).
//
// The types are sized for this platform (DWORD is 32-bit, pointers are 64-bit), so WAVEHDR
// is 48 bytes here as on 64-bit Windows; callers pass sizeof(WAVEHDR).
//
// Threading: call from one thread at a time. The driver writes a queued buffer from its own
// thread and publishes WHDR_DONE in dwFlags with release ordering after the data and
// dwBytesRecorded, then raises the capture's signal; read dwFlags with acquire ordering
// (std::atomic_ref) while the buffer is queued. dwBytesRecorded of a queued buffer may be read
// with std::atomic_ref, relaxed.

#include <cstddef>
#include <cstdint>
#include <cstring>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using LPSTR = char*;
using LPVOID = void*;
using LPCVOID = const void*;
using MMRESULT = UINT;

// The platform declares its handle type under this very name.
struct HWAVEIN__ {  // NOLINT(bugprone-reserved-identifier)
  int unused;
};
using HWAVEIN = HWAVEIN__*;
using LPHWAVEIN = HWAVEIN*;
using HGLOBAL = void*;

// ---- Results -----------------------------------------------------------------------------

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;        // driver failure
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;  // no such device (no server, no input)
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;    // already open, or refused by the server
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;  // not an open device
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;     // server not answering, or input lost
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;  // no text for this result
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;  // buffer still queued
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;
inline constexpr MMRESULT WAVERR_SYNC = 35;
// Ours, not the Windows interface's, whose open waits for the device: the sound server is still
// being reached and the open did not wait. The capture's signal (capture/module1.h) is raised
// when that ends; an open then finds the device ready, or the reason it is not.
inline constexpr MMRESULT WAVERR_PREPARING = 36;

inline constexpr UINT MAXERRORLENGTH = 256;

// ---- Records -----------------------------------------------------------------------------

inline constexpr WORD WAVE_FORMAT_PCM = 1;
inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);

// waveInOpen flags. Only polling is offered: no callback of any kind.
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD WAVE_FORMAT_QUERY = 0x00000001;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
using LPWAVEFORMATEX = WAVEFORMATEX*;
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

struct WAVEHDR {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR* lpNext;
  DWORD_PTR reserved;
};
using LPWAVEHDR = WAVEHDR*;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
inline constexpr DWORD WHDR_ENDLOOP = 0x00000008;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

// ---- Wave input --------------------------------------------------------------------------

// Opens device 0 (or WAVE_MAPPER, which is device 0) for the given format; 16-bit mono PCM
// at 22050/s only, anything else is WAVERR_BADFORMAT. Never waits for the sound server:
// WAVERR_PREPARING while the connection to it is being made. One device may be open at a time
// (MMSYSERR_ALLOCATED otherwise).
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
// Stops recording; a partly filled buffer is returned (done) with what it holds.
MMRESULT waveInStop(HWAVEIN hwi);
// Stops recording and returns every queued buffer (done) with what it holds.
MMRESULT waveInReset(HWAVEIN hwi);

// The text for a result, truncated to cchText - 1 characters and always terminated. For the
// result of the most recent failing call, the sound server's own reason is appended.
MMRESULT waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);

// ---- Global memory -----------------------------------------------------------------------

inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// Fixed blocks only: the handle is the address. NULL when out of memory or asked for a
// moveable block.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
LPVOID GlobalLock(HGLOBAL hMem);
// NULL on success; the handle back when it is not a live block (nothing is freed then).
HGLOBAL GlobalFree(HGLOBAL hMem);

// Inline: a block's samples are read through it one at a time.
inline void RtlMoveMemory(void* Destination, const void* Source, SIZE_T Length) {
  std::memmove(Destination, Source, Length);
}
