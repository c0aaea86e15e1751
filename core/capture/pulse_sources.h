#pragma once

// The sound server's inputs, and moving this program's record stream from one to another, for
// the window's menu. Apart from the capture: each call makes a connection of its own, asks, and
// closes it again. The capture's stream takes a move as it takes one made in the desktop's
// sound settings (it stays on the new input until the sound system fails or the program ends).
//
// Both calls run on the caller's thread and wait for the server, at most `timeout`.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {

struct SoundSource {
  std::string name;         // the server's name for it
  std::string description;  // what desktops show
  bool monitor = false;     // the monitor of an output: what it plays
};

struct SoundSources {
  std::vector<SoundSource> sources;  // in the server's order
  std::string default_source;        // the desktop's input
  std::string recording_from;        // what this program records from; empty when not recording
};

// The server's sources, or nothing with `why` set when it cannot be asked.
std::optional<SoundSources> ListSoundSources(std::chrono::milliseconds timeout, std::string& why);

// Moves this program's record stream to the source named `source`, or to the desktop's input
// when `source` is empty. What went wrong, or nothing. On PulseAudio 15 and later a stream
// moved onto the default input follows the desktop's input again.
std::string MoveRecording(const std::string& source, std::chrono::milliseconds timeout);

}  // namespace quorvane
