// Decoding: FFmpeg's libraries (libavformat, libavcodec, libswscale) in one place. The AVI
// reader feeds the decompressor its chunks through PacketSource; the container source reads
// every other file FFmpeg opens; convert_picture brings a picture to another layout or depth.
// A build without FFmpeg's libraries keeps the same declarations: no decompressor, no
// container source, and conversions only where nothing needs converting.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "video/video.h"

namespace vq {

// Whether FFmpeg's libraries are at hand: this build has them and they could be loaded.
[[nodiscard]] bool have_ffmpeg();
// Why they are not ("this build has none", or why they could not be loaded); empty when they are.
[[nodiscard]] std::string ffmpeg_absence();

// A compressed stream as its container describes it.
struct StreamFormat {
  uint32_t fcc_handler = 0;     // strh fccHandler
  std::vector<uint8_t> format;  // strf as stored: BITMAPINFOHEADER, then codec private data
  int32_t length = 0;           // strh dwLength; when that is 0 or 2^31 and more, the frames found
  uint32_t scale = 0;           // strh dwScale and dwRate: dwRate / dwScale frames per second
  uint32_t rate = 0;
};

// The stream's chunks in file order, one per frame, as the container reader sees them.
class PacketSource {
 public:
  virtual ~PacketSource() = default;
  [[nodiscard]] virtual int32_t packet_count() const = 0;
  [[nodiscard]] virtual bool is_keyframe(int32_t index) const = 0;
  // Reads chunk `index` whole into *out (resized to its size; 0 for a dropped frame).
  // 0 when the chunk cannot be read (outside the file, I/O error).
  [[nodiscard]] virtual int read_packet(int32_t index, std::vector<uint8_t>* out) = 0;
};

class Decompressor {
 public:
  virtual ~Decompressor() = default;
  // Picture `index` of the stream (presentation order) into *out, valid until the next call:
  // a YUV picture as 8-bit studio-range 4:2:0 whose chroma planes are (width/2) x (height/2)
  // (in the decoder's own buffers when it decodes to that form; other YUV forms through
  // libswscale), an RGB picture as a packed top-down DIB frame of 24 or 32 bits. 1 when
  // delivered, 0 when it cannot be decoded.
  [[nodiscard]] virtual int get_frame(int32_t index, Frame* out) = 0;
};

// The decompressor probe: a decoder for `stream`, reading its chunks from `packets` (which
// outlives it), or null when the frames are to be handed out raw: fccHandler "DIB " or 0 with
// an uncompressed format, or no decoder for the codec.
[[nodiscard]] std::unique_ptr<Decompressor> open_decompressor(const StreamFormat& stream,
                                                              PacketSource* packets);

// The first video stream of a file libavformat opens (MP4, MOV, MKV, WebM, IVF, MPEG-TS, FLV,
// still images, ...), read from `input` at the offsets libavformat asks for (a regular file or
// bytes in memory: no protocol or file-name pattern is interpreted). Frame i is the i-th picture
// the decoder gives, in presentation order, whatever the timestamps say. The stated frame count is
// an estimate (length_known false): a fetch past the real end gives Fetch::kEnd, a picture that
// cannot be decoded Fetch::kError. Reading in order never decodes a picture twice; an index before
// the current one starts over from the beginning. Planar YUV pictures (4:2:0, 4:2:2, 4:4:4, gray;
// 8 to 16 bits; full range kept as such) are handed out in the decoder's buffers; other forms
// are converted by libswscale: YUV to the planar layout and depth nearest them, RGB and palette
// pictures to studio-range 4:2:0. Null with *why set ("no such file", "not a video file",
// "no video stream", "no decoder for codec X", ...) when it cannot be read.
// Pictures of more than `max_pixels` samples are refused before the first is decoded, also
// while the stream's parameters are looked for.
[[nodiscard]] std::unique_ptr<VideoSource> open_container(std::unique_ptr<InputFile> input,
                                                          std::string* why,
                                                          int64_t max_pixels = int64_t(1) << 26);
// The same for the file at `path`.
[[nodiscard]] std::unique_ptr<VideoSource> open_container(const char* path, std::string* why,
                                                          int64_t max_pixels = int64_t(1) << 26);
// The same from bytes in memory (tests, fuzzing), which must outlive the source. Decodes on one
// thread and holds pictures to 16 Mpixels.
[[nodiscard]] std::unique_ptr<VideoSource> open_container_memory(const uint8_t* data, size_t size,
                                                                 std::string* why);

// A converted picture and the block that holds it; reused from call to call (the block grows
// when a call needs more room).
class PictureBuffer {
 public:
  PictureBuffer();
  PictureBuffer(const PictureBuffer&) = delete;
  PictureBuffer& operator=(const PictureBuffer&) = delete;
  ~PictureBuffer();

  Picture picture;  // the last conversion's result

  struct State;  // the block and the converter kept between calls
  struct StateDeleter {
    void operator()(State* s) const;
  };
  std::unique_ptr<State, StateDeleter> state;
};

// Whether `in` already has the form convert_picture is asked for: it is then handed on as it
// is, with no library loaded.
[[nodiscard]] inline bool picture_in_form(const Picture& in, ChromaLayout layout, int depth,
                                          bool keep_range) {
  return in.layout == layout && in.depth == depth && (!in.full_range || keep_range);
}

// Converts `in` to studio-range `layout` samples of `depth` bits (8 to 16) into out->picture,
// with libswscale (bicubic chroma resampling, bit-exact rounding); with `keep_range` a full-range
// picture stays full range. A picture already in that form is handed on as it is
// (out->picture = in, nothing copied). 1 when converted; 0 with
// *why set (when given) when it cannot be: no FFmpeg in this build, out of memory, a depth out
// of range, chroma planes smaller than the layout's (the AVI path's odd-sized pictures).
[[nodiscard]] int convert_picture(const Picture& in, ChromaLayout layout, int depth,
                                  PictureBuffer* out, std::string* why = nullptr,
                                  bool keep_range = false);

// Converts `in` to RGB as FFmpeg's CLI converts a picture for PNG output (`-vf format=rgb24`, or
// `format=rgb48be` for pictures deeper than 8 bits), into out->picture as three planes R, G and B
// (ChromaLayout::k444, full range) of `depth` bits, 8 or 16: libswscale with the flags and the
// colourspace details FFmpeg's scale filter gives the conversion it inserts, by the picture's
// matrix (in.matrix) and range, its bytes those of the PNG. An 8-bit picture asked for at 16 bits
// is converted to 8-bit RGB and widened losslessly (times 257, as a PNG reader scales 8-bit
// samples to 16). 1 when converted; 0 with *why set (when given) when it cannot be: no FFmpeg in
// this build, a depth other than 8 or 16, a deeper picture asked for at 8 bits, out of memory, an
// odd-sized picture whose chroma planes are rounded down (the AVI path's pictures).
[[nodiscard]] int rgb_picture(const Picture& in, int depth, PictureBuffer* out,
                              std::string* why = nullptr);

// How a picture is scaled to another size: one of libswscale's filters by the name FFmpeg's
// scale filter gives it, with the flags and the parameters that filter passes on (as a framework
// writes `scale=W:H:flags=lanczos+accurate_rnd+full_chroma_int:param0=5`). kNone: pictures are
// never scaled.
enum class ScaleKind : uint8_t { kNone, kBicubic, kBilinear, kLanczos, kNeighbor };

// libswscale's flags a filter may add, by their names in FFmpeg's flags.
enum ScaleFlag : uint8_t {
  kScaleAccurateRnd = 1,
  kScaleFullChromaInt = 2,
  kScaleFullChromaInp = 4,
  kScaleBitexact = 8,
};

struct ScaleFilter {
  ScaleKind kind = ScaleKind::kNone;
  uint8_t flags = 0;  // ScaleFlag bits
  // The filter's parameters as libswscale takes them (lanczos: param[0], its width); NaN:
  // libswscale's default.
  double param[2] = {NAN, NAN};

  static const ScaleFilter kNone, kBicubic, kBilinear, kLanczos, kNeighbor;
  [[nodiscard]] bool operator==(const ScaleFilter& other) const {
    const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    return kind == other.kind && flags == other.flags && same(param[0], other.param[0]) &&
           same(param[1], other.param[1]);
  }
};
inline constexpr ScaleFilter ScaleFilter::kNone{};
inline constexpr ScaleFilter ScaleFilter::kBicubic{ScaleKind::kBicubic};
inline constexpr ScaleFilter ScaleFilter::kBilinear{ScaleKind::kBilinear};
inline constexpr ScaleFilter ScaleFilter::kLanczos{ScaleKind::kLanczos};
inline constexpr ScaleFilter ScaleFilter::kNeighbor{ScaleKind::kNeighbor};

// The filter as the command line spells it: its name ("lanczos"), then :param0=N when set, then
// each flag (":accurate_rnd"); "none" for kNone.
[[nodiscard]] std::string scale_filter_name(const ScaleFilter& filter);
// The filter `text` spells: a name ("bicubic", "bilinear", "lanczos", "neighbor"), then any of
// :accurate_rnd, :full_chroma_int, :full_chroma_inp and :bitexact, and for lanczos :param0=N (its
// width, a whole number from 1 to 10), each once. True and *out set, or false for anything else.
// (FFmpeg's CLI hands bicubic's B and C on otherwise than its library takes them, so they are
// not offered.)
[[nodiscard]] bool parse_scale_filter(const char* text, ScaleFilter* out);

// Scales `in` to `width` x `height` into out->picture with libswscale, at its own depth, into
// `layout` samples (its own or another planar one) in full range or studio range, in
// one pass with exactly the flags FFmpeg's scale filter passes for `filter`: the samples of `-vf
// scale=W:H:flags=NAME` on the same picture when the filter's output has that form. The scaler is
// kept in `out` and made again only when a size, a form or the filter changes. 1 when scaled; 0
// with *why set (when given) when it cannot be: no FFmpeg in this build, kNone, a gray picture to
// a colour layout, out of memory, a depth libswscale has no format for, or an odd-sized picture
// whose chroma planes are rounded down (the AVI path's pictures).
[[nodiscard]] int scale_picture(const Picture& in, int32_t width, int32_t height,
                                ChromaLayout layout, bool full_range, ScaleFilter filter,
                                PictureBuffer* out, std::string* why = nullptr);

}  // namespace vq
