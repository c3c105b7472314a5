#pragma once
// Writes one Matroska file with the recorded tracks: the H.264 video (its Annex B access
// units as they came) and the audio channels as 16-bit PCM, each frame at its place on the
// shared clock (MuxTimeline.hpp). The payloads are read back from the files the recorder
// already wrote, so the muxing costs no memory beyond the frame index.

#include <optional>
#include <string>
#include <vector>

#include "MuxTimeline.hpp"

namespace qbtools {

struct MuxVideoTrack {
  std::string path;  // the Annex B stream the frames' offsets point into
  std::vector<PlacedFrame> frames;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t fps = 0;
};

struct MuxAudioTrack {
  std::string title;       // "microphone", "system audio"
  std::string path;        // the file the frames' offsets point into
  uint64_t dataStart = 0;  // where the PCM begins in it
  std::vector<PlacedFrame> frames;
  uint32_t sampleRate = 48000;
  uint8_t channels = 2;
};

// Why `path` cannot take a muxed recording (an extension other than .mkv, a directory or a
// place that cannot be written), or none when it can. Checked before a recording starts, so
// that nothing is recorded for a file that could not be written; leaves no file behind.
std::optional<std::string> muxOutputProblem(const std::string& path);

// Writes the tracks that have frames into `path`; the error, or none on success. A failed
// write leaves no partial file.
std::optional<std::string> writeMuxedFile(const std::string& path, const MuxVideoTrack& video,
                                          const std::vector<MuxAudioTrack>& audio);

}  // namespace qbtools
