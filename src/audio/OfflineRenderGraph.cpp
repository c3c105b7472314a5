#include "audio/OfflineRenderGraph.hpp"

#include <algorithm>
#include <cstring>

namespace qb {

namespace {

bool isFloatPlanar(const PcmFormat& f) {
  return f.sampleFormat == SampleFormat::Float32 && !f.interleaved && f.channels >= 1 && f.sampleRate > 0;
}

// Deeper than any graph we build: a cycle would otherwise recurse for ever.
constexpr int kMaxDepth = 64;

}  // namespace

OfflineRenderGraph::OfflineRenderGraph() {
  Node main;
  main.mixer = true;
  nodes_.push_back(std::move(main));
}

OfflineRenderGraph::NodeId OfflineRenderGraph::addSourceNode(RenderBlock block) {
  Node node;
  node.block = std::move(block);
  nodes_.push_back(std::move(node));
  return nodes_.size() - 1;
}

OfflineRenderGraph::NodeId OfflineRenderGraph::addMixerNode() {
  Node node;
  node.mixer = true;
  nodes_.push_back(std::move(node));
  return nodes_.size() - 1;
}

void OfflineRenderGraph::setOutputVolume(NodeId mixer, float volume) {
  if (mixer < nodes_.size()) nodes_[mixer].volume = volume;
}

std::optional<std::string> OfflineRenderGraph::connect(NodeId from, NodeId to, const PcmFormat& format) {
  if (from >= nodes_.size() || to >= nodes_.size() || from == to || !nodes_[to].mixer)
    return "cannot connect node " + std::to_string(from) + " to node " + std::to_string(to);
  if (!isFloatPlanar(format)) return "connections carry float non-interleaved PCM only";
  nodes_[from].format = format;
  nodes_[to].format = format;
  nodes_[to].inputs.push_back(from);
  return std::nullopt;
}

void OfflineRenderGraph::installTap(NodeId mixer, size_t bufferSize, Tap tap) {
  if (mixer >= nodes_.size() || !nodes_[mixer].mixer) return;
  nodes_[mixer].tapSize = std::max<size_t>(bufferSize, 1);
  nodes_[mixer].tap = std::move(tap);
}

void OfflineRenderGraph::removeTap(NodeId mixer) {
  if (mixer < nodes_.size()) nodes_[mixer].tap = nullptr;
}

std::optional<std::string> OfflineRenderGraph::enableManualRenderingMode(const PcmFormat& format,
                                                                         size_t maximumFrameCount) {
  if (running_) return "the graph is running";
  if (!isFloatPlanar(format) || maximumFrameCount < 1) return "unsupported manual rendering format";
  renderFormat_ = format;
  maximumFrameCount_ = maximumFrameCount;
  manual_ = true;
  return std::nullopt;
}

std::optional<std::string> OfflineRenderGraph::start() {
  if (!manual_) return "the graph renders offline only";
  running_ = true;
  return std::nullopt;
}

void OfflineRenderGraph::stop() { running_ = false; }

RenderStatus OfflineRenderGraph::renderOffline(size_t frames, PcmBuffer& buffer, std::string* error) {
  auto fail = [&](const char* text) {
    if (error) *error = text;
    return RenderStatus::error;
  };
  if (!running_) return RenderStatus::cannotDoInCurrentContext;
  if (frames > maximumFrameCount_) return fail("more frames than the maximum frame count");
  std::vector<std::vector<float>> out;
  if (!pull(mainMixer(), frames, out, 0)) return RenderStatus::error;
  // The main mixer delivers in the rendering format: channels it lacks stay silent.
  out.resize(static_cast<size_t>(renderFormat_.channels), std::vector<float>(frames, 0.0f));
  buffer = planarBuffer(renderFormat_, out, 0, frames);
  return RenderStatus::success;
}

bool OfflineRenderGraph::pull(NodeId id, size_t frames, std::vector<std::vector<float>>& out, int depth) {
  if (depth > kMaxDepth) return false;
  Node& node = nodes_[id];
  const size_t channels = static_cast<size_t>(node.format.channels);
  out.assign(channels, std::vector<float>(frames, 0.0f));
  if (!node.mixer) return node.block && node.block(frames, out);

  std::vector<std::vector<float>> input;
  for (NodeId from : node.inputs) {
    if (!pull(from, frames, input, depth + 1)) return false;
    for (size_t c = 0; c < channels && c < input.size(); ++c)
      for (size_t i = 0; i < frames; ++i) out[c][i] += input[c][i];
  }
  for (auto& plane : out)
    for (auto& s : plane) s *= node.volume;
  if (node.tap) {
    for (size_t offset = 0; offset < frames; offset += node.tapSize)
      node.tap(planarBuffer(node.format, out, offset, std::min(node.tapSize, frames - offset)));
  }
  return true;
}

PcmBuffer OfflineRenderGraph::planarBuffer(const PcmFormat& format, const std::vector<std::vector<float>>& channels,
                                           size_t offset, size_t frames) {
  PcmBuffer buffer = PcmBuffer::make(format, frames);
  for (size_t c = 0; c < channels.size() && c < static_cast<size_t>(format.channels); ++c)
    std::memcpy(buffer.bytes.data() + c * frames * sizeof(float), channels[c].data() + offset, frames * sizeof(float));
  return buffer;
}

}  // namespace qb
