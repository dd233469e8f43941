// The module's table of entry points (see module.h).
#include "decode/module.h"

namespace vq {
namespace {

std::unique_ptr<VideoSource> open_input(std::unique_ptr<InputFile> input, std::string* why,
                                        int64_t max_pixels) {
  return open_container(std::move(input), why, max_pixels);
}

std::unique_ptr<VideoSource> open_path(const char* path, std::string* why, int64_t max_pixels) {
  return open_container(path, why, max_pixels);
}

void free_state(PictureBuffer::State* state) {
  PictureBuffer::StateDeleter()(state);
}

constexpr DecodeModule kModule = {
    VQ_MODULE_STAMP, open_decompressor, open_input, open_path,   open_container_memory,
    convert_picture, scale_picture,     free_state, rgb_picture,
};

}  // namespace
}  // namespace vq

extern "C" const vq::DecodeModule* vidqual_decode_module() {
  return &vq::kModule;
}
