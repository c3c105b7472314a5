#pragma once
// What a host would see of a video stream: its frames decoded by ffmpeg.

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ProtocolReader.hpp"

namespace qb::testenv {

using Rgb = std::array<int, 3>;

// Every picture of an Annex B stream as raw `pixelFormat` ("rgb24": 3 bytes a pixel, "gray":
// 1), in frame order (no B-frames, so picture i is frame i); none when it does not decode to
// pictures of that size.
inline std::optional<std::vector<std::vector<uint8_t>>> decodePictures(const std::vector<qbtools::Frame>& frames,
                                                                       int width, int height,
                                                                       const std::string& pixelFormat = "rgb24") {
  const auto dir = std::filesystem::temp_directory_path();
  const auto h264 = dir / ("qb-e2e-" + std::to_string(::getpid()) + ".h264");
  const auto raw = dir / ("qb-e2e-" + std::to_string(::getpid()) + ".raw");
  {
    std::ofstream out(h264, std::ios::binary);
    for (auto& f : frames) out.write(reinterpret_cast<const char*>(f.payload.data()), long(f.payload.size()));
  }
  const std::string cmd = "ffmpeg -v error -y -i " + h264.string() + " -fps_mode passthrough -f rawvideo -pix_fmt " +
                          pixelFormat + " " + raw.string();
  const int status = std::system(cmd.c_str());
  std::ifstream in(raw, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove(h264);
  std::filesystem::remove(raw);
  const size_t picture = size_t(width) * size_t(height) * (pixelFormat == "gray" ? 1 : 3);
  if (status != 0 || bytes.empty() || bytes.size() % picture != 0) return std::nullopt;
  std::vector<std::vector<uint8_t>> out;
  for (size_t at = 0; at < bytes.size(); at += picture)
    out.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + picture));
  return out;
}

inline std::optional<Rgb> centreOfLastPicture(const std::vector<qbtools::Frame>& frames, int width, int height) {
  auto all = decodePictures(frames, width, height);
  if (!all) return std::nullopt;
  const uint8_t* p = all->back().data() + (size_t(height / 2) * size_t(width) + size_t(width / 2)) * 3;
  return Rgb{p[0], p[1], p[2]};
}

// Within what 4:2:0 video range conversion keeps of an RGB colour.
inline bool near(const Rgb& got, uint32_t rgb, int tolerance = 12) {
  const Rgb want{int(rgb >> 16 & 0xFF), int(rgb >> 8 & 0xFF), int(rgb & 0xFF)};
  for (int i = 0; i < 3; ++i)
    if (std::abs(got[i] - want[i]) > tolerance) return false;
  return true;
}

}  // namespace qb::testenv
