// The build without FFmpeg's libraries: AVI streams are handed out raw (a compressed one is then
// refused by the pixel conversion), no other container is read, and pictures are converted only
// where they already have the form asked for.
#include "decode/decode.h"

namespace vq {

bool have_ffmpeg() {
  return false;
}

std::string ffmpeg_absence() {
  return "this build has none";
}

std::unique_ptr<Decompressor> open_decompressor(const StreamFormat&, PacketSource*) {
  return nullptr;
}

namespace {
constexpr const char* kNoFfmpeg = "needs FFmpeg's libraries (this build has none)";
}  // namespace

std::unique_ptr<VideoSource> open_container(std::unique_ptr<InputFile>, std::string* why, int64_t) {
  if (why != nullptr) *why = kNoFfmpeg;
  return nullptr;
}

std::unique_ptr<VideoSource> open_container(const char*, std::string* why, int64_t) {
  if (why != nullptr) *why = kNoFfmpeg;
  return nullptr;
}

std::unique_ptr<VideoSource> open_container_memory(const uint8_t*, size_t, std::string* why) {
  if (why != nullptr) *why = kNoFfmpeg;
  return nullptr;
}

struct PictureBuffer::State {};
void PictureBuffer::StateDeleter::operator()(State* s) const {
  delete s;
}
PictureBuffer::PictureBuffer() = default;
PictureBuffer::~PictureBuffer() = default;

int convert_picture(const Picture& in, ChromaLayout layout, int depth, PictureBuffer* out,
                    std::string* why, bool keep_range) {
  if (out == nullptr) return 0;
  if (picture_in_form(in, layout, depth, keep_range)) {
    out->picture = in;
    return 1;
  }
  if (why != nullptr) *why = kNoFfmpeg;
  return 0;
}

int scale_picture(const Picture&, int32_t, int32_t, ChromaLayout, bool, ScaleFilter, PictureBuffer*,
                  std::string* why) {
  if (why != nullptr) *why = kNoFfmpeg;
  return 0;
}

int rgb_picture(const Picture&, int, PictureBuffer*, std::string* why) {
  if (why != nullptr) *why = kNoFfmpeg;
  return 0;
}

}  // namespace vq
