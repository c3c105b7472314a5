#include "MediaMuxer.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace qbtools {

namespace {

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

std::string lowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

struct ContextDeleter {
  void operator()(AVFormatContext* c) const {
    if (c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

bool readAt(std::ifstream& file, uint64_t offset, uint8_t* into, uint32_t size) {
  file.seekg(std::streamoff(offset));
  file.read(reinterpret_cast<char*>(into), std::streamsize(size));
  return bool(file);
}

// The SPS and PPS of an Annex B access unit, each behind a four-byte start code: what the
// container keeps as the decoder's set-up.
std::vector<uint8_t> parameterSets(const std::vector<uint8_t>& au) {
  std::vector<uint8_t> out;
  size_t i = 0;
  auto nextStart = [&](size_t from) {
    for (size_t j = from; j + 3 <= au.size(); ++j)
      if (au[j] == 0 && au[j + 1] == 0 && au[j + 2] == 1) return j;
    return au.size();
  };
  i = nextStart(0);
  while (i < au.size()) {
    const size_t begin = i + 3;
    size_t end = nextStart(begin);
    const size_t next = end;
    while (end > begin && au[end - 1] == 0) --end;  // the zero of a four-byte start code
    if (begin < end) {
      const int type = au[begin] & 0x1f;
      if (type == 7 || type == 8) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), au.begin() + long(begin), au.begin() + long(end));
      }
    }
    i = next;
  }
  return out;
}

struct TrackWriter {
  AVStream* stream = nullptr;
  std::ifstream file;
  uint64_t base = 0;
  const std::vector<PlacedFrame>* frames = nullptr;
  size_t next = 0;
};

}  // namespace

std::optional<std::string> muxOutputProblem(const std::string& path) {
  const std::string ext = lowerExtension(path);
  if (ext == ".mp4") return "MP4 cannot hold the 16-bit PCM audio tracks without converting them; use a .mkv file";
  if (ext.empty()) return "no extension tells the format; use a .mkv file";
  if (ext != ".mkv") return "unsupported extension \"" + ext + "\"; use a .mkv file";
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  if (std::filesystem::is_directory(path, ec)) return "cannot write " + path + ": it is a directory";
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return "cannot write " + path + ": " + std::strerror(errno);
  std::fclose(f);
  if (!existed) std::filesystem::remove(path, ec);
  return std::nullopt;
}

std::optional<std::string> writeMuxedFile(const std::string& path, const MuxVideoTrack& video,
                                          const std::vector<MuxAudioTrack>& audio) {
  if (auto problem = muxOutputProblem(path)) return problem;
  AVFormatContext* raw = nullptr;
  int rc = avformat_alloc_output_context2(&raw, nullptr, "matroska", path.c_str());
  if (rc < 0 || !raw) return "cannot set up the Matroska writer: " + avError(rc);
  std::unique_ptr<AVFormatContext, ContextDeleter> context(raw);
  std::vector<TrackWriter> tracks;
  tracks.reserve(1 + audio.size());

  if (!video.frames.empty()) {
    TrackWriter& t = tracks.emplace_back();
    t.file.open(video.path, std::ios::binary);
    std::vector<uint8_t> first(video.frames.front().size);
    if (!t.file || !readAt(t.file, video.frames.front().offset, first.data(), uint32_t(first.size())))
      return "cannot read the video from " + video.path;
    const std::vector<uint8_t> sets = parameterSets(first);
    t.stream = avformat_new_stream(context.get(), nullptr);
    if (!t.stream) return "out of memory";
    AVCodecParameters* par = t.stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = video.width;
    par->height = video.height;
    par->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return "out of memory";
    std::memcpy(par->extradata, sets.data(), sets.size());
    par->extradata_size = int(sets.size());
    t.stream->avg_frame_rate = {video.fps, 1};
    t.stream->time_base = {1, 1000000};
    t.frames = &video.frames;
  }
  for (const MuxAudioTrack& a : audio) {
    if (a.frames.empty()) continue;
    TrackWriter& t = tracks.emplace_back();
    t.file.open(a.path, std::ios::binary);
    if (!t.file) return "cannot read the audio from " + a.path;
    t.base = a.dataStart;
    t.stream = avformat_new_stream(context.get(), nullptr);
    if (!t.stream) return "out of memory";
    AVCodecParameters* par = t.stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_PCM_S16LE;
    par->sample_rate = int(a.sampleRate);
    av_channel_layout_default(&par->ch_layout, a.channels);
    par->bits_per_coded_sample = 16;
    par->block_align = a.channels * 2;
    par->bit_rate = int64_t(a.sampleRate) * a.channels * 16;
    t.stream->time_base = {1, int(a.sampleRate)};
    av_dict_set(&t.stream->metadata, "title", a.title.c_str(), 0);
    t.frames = &a.frames;
  }
  if (tracks.empty()) return "nothing was recorded";

  rc = avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) return "cannot write " + path + ": " + avError(rc);
  auto fail = [&](const std::string& why) -> std::optional<std::string> {
    context.reset();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return why;
  };
  rc = avformat_write_header(context.get(), nullptr);
  if (rc < 0) return fail("cannot start " + path + ": " + avError(rc));

  // Frames go out in time order across the tracks, as a player reads them.
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  if (!packet) return fail("out of memory");
  for (;;) {
    TrackWriter* t = nullptr;
    for (auto& c : tracks)
      if (c.next < c.frames->size() && (!t || (*c.frames)[c.next].us < (*t->frames)[t->next].us)) t = &c;
    if (!t) break;
    const PlacedFrame& f = (*t->frames)[t->next++];
    rc = av_new_packet(packet.get(), int(f.size));
    if (rc < 0) return fail("out of memory");
    if (!readAt(t->file, t->base + f.offset, packet->data, f.size)) {
      av_packet_unref(packet.get());
      return fail("cannot read back a recorded frame");
    }
    const AVRational us{1, 1000000};
    packet->pts = packet->dts = av_rescale_q(f.us, us, t->stream->time_base);
    packet->duration = av_rescale_q(f.durationUs, us, t->stream->time_base);
    packet->stream_index = t->stream->index;
    if (f.keyframe) packet->flags |= AV_PKT_FLAG_KEY;
    rc = av_interleaved_write_frame(context.get(), packet.get());
    if (rc < 0) return fail("cannot write " + path + ": " + avError(rc));
  }
  rc = av_write_trailer(context.get());
  if (rc < 0) return fail("cannot finish " + path + ": " + avError(rc));
  rc = avio_closep(&context->pb);
  if (rc < 0) return fail("cannot finish " + path + ": " + avError(rc));
  return std::nullopt;
}

}  // namespace qbtools
