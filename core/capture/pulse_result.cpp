#include "capture/pulse_result.h"

#include <pulse/pulseaudio.h>

#include <cstdio>

namespace quorvane::wavein {

PulseFailure FailureFromPulse(int error, PulseStage stage, bool connected) {
  const std::string reason = pa_strerror(error);
  if (!connected && stage != PulseStage::kConnecting) {
    return {MMSYSERR_NODRIVER, "Lost the connection to the sound server: " + reason + "."};
  }
  const std::string detail = "Sound server: " + reason + ".";
  switch (stage) {
    case PulseStage::kConnecting:
      switch (error) {
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_INVALIDSERVER:
        case PA_ERR_NOENTITY:
          return {MMSYSERR_BADDEVICEID, detail};
        case PA_ERR_TIMEOUT:
          return {MMSYSERR_NODRIVER, detail};
        case PA_ERR_ACCESS:
        case PA_ERR_AUTHKEY:
        case PA_ERR_CONNECTIONTERMINATED:
        case PA_ERR_BUSY:
          return {MMSYSERR_ALLOCATED, detail};
        default:
          return {MMSYSERR_ERROR, detail};
      }
    case PulseStage::kPreparing:
      switch (error) {
        case PA_ERR_NOENTITY:
          return {MMSYSERR_BADDEVICEID, detail};
        case PA_ERR_ACCESS:
        case PA_ERR_BUSY:
        case PA_ERR_EXIST:
        case PA_ERR_TOOLARGE:
          return {MMSYSERR_ALLOCATED, detail};
        default:
          return {MMSYSERR_ERROR, detail};
      }
    case PulseStage::kRecording:
      if (error == PA_ERR_KILLED || error == PA_ERR_NOENTITY) {
        return {MMSYSERR_NODRIVER, "The input source was removed: " + reason + "."};
      }
      return {MMSYSERR_ERROR, detail};
  }
  return {MMSYSERR_ERROR, detail};
}

PulseFailure NoAnswerWithin(double seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "The sound server did not answer within %.1f seconds.", seconds);
  return {MMSYSERR_NODRIVER, text};
}

}  // namespace quorvane::wavein
