#pragma once
// A small audio graph rendered offline on the caller's thread: source nodes that generate
// float samples, mixers that sum their inputs at an output volume and may carry a tap, and
// a main mixer whose output is what renderOffline hands back. Nothing reaches a device.
//
// Every connection carries 32-bit float, non-interleaved PCM of one rate and channel count.
// Not thread-safe: one thread builds and renders; taps run inside renderOffline.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioBuffer.hpp"

namespace qb {

enum class RenderStatus { success, insufficientDataFromInputNode, cannotDoInCurrentContext, error };

class OfflineRenderGraph {
 public:
  using NodeId = size_t;
  // Fills `channels` (one plane per channel, `frames` samples each); false is an error.
  using RenderBlock = std::function<bool(size_t frames, std::vector<std::vector<float>>& channels)>;
  // A mixer's output after its volume, in the node's own format.
  using Tap = std::function<void(const PcmBuffer& buffer)>;

  OfflineRenderGraph();

  NodeId addSourceNode(RenderBlock block);
  NodeId addMixerNode();
  NodeId mainMixer() const { return 0; }
  void setOutputVolume(NodeId mixer, float volume);
  // Feeds `from` into the mixer `to` in `format`; an error text when the format is not
  // float non-interleaved, the nodes do not exist or `to` is no mixer.
  std::optional<std::string> connect(NodeId from, NodeId to, const PcmFormat& format);
  // At most `bufferSize` frames per call. One tap per mixer.
  void installTap(NodeId mixer, size_t bufferSize, Tap tap);
  void removeTap(NodeId mixer);

  std::optional<std::string> enableManualRenderingMode(const PcmFormat& format, size_t maximumFrameCount);
  std::optional<std::string> start();
  void stop();
  const PcmFormat& manualRenderingFormat() const { return renderFormat_; }
  // Renders `frames` frames of the main mixer into `buffer` (resized to them). An error
  // text, when there is one, goes to `error`.
  RenderStatus renderOffline(size_t frames, PcmBuffer& buffer, std::string* error = nullptr);

 private:
  struct Node {
    bool mixer = false;
    RenderBlock block;
    float volume = 1.0f;
    std::vector<NodeId> inputs;
    PcmFormat format{SampleFormat::Float32, 48000, 2, false};
    size_t tapSize = 0;
    Tap tap;
  };
  // The node's output for `frames` frames; false when a source failed.
  bool pull(NodeId id, size_t frames, std::vector<std::vector<float>>& out, int depth);
  static PcmBuffer planarBuffer(const PcmFormat& format, const std::vector<std::vector<float>>& channels, size_t offset,
                                size_t frames);

  std::vector<Node> nodes_;
  PcmFormat renderFormat_{SampleFormat::Float32, 48000, 2, false};
  size_t maximumFrameCount_ = 0;
  bool manual_ = false;
  bool running_ = false;
};

}  // namespace qb
