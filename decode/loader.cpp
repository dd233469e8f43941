// The program's side of the FFmpeg module: the decoding operations load it on first need (once,
// from any thread) and hand the call on. Where it cannot be loaded they fail as a build without
// FFmpeg's libraries does, with the loader's reason.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "decode/module.h"

namespace vq {
namespace {

constexpr const char* kModuleName = "vidqual-ffmpeg.so";

struct Loaded {
  const DecodeModule* table = nullptr;
  std::string reason;  // why it is not loaded
};

std::string own_directory() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  std::string path(buf, size_t(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Beside the program (a build tree), then where `make install` puts it, then this build's own.
Loaded load() {
  Loaded l;
  const std::string dir = own_directory();
  std::string places[3];
  if (!dir.empty()) {
    places[0] = dir + "/" + kModuleName;
    places[1] = dir + "/../lib/vidqual/" + kModuleName;
  }
  places[2] = VQ_MODULE_BUILD_PATH;
  for (const std::string& place : places) {
    if (place.empty() || access(place.c_str(), F_OK) != 0) continue;
    void* handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* e = dlerror();
      l.reason = std::string("they could not be loaded: ") + (e ? e : place.c_str());
      continue;
    }
    using Entry = const DecodeModule* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(handle, "vidqual_decode_module"));
    const DecodeModule* table = entry ? entry() : nullptr;
    if (table == nullptr || std::strcmp(table->stamp, VQ_MODULE_STAMP) != 0) {
      l.reason = place + " is from another build";
      dlclose(handle);
      continue;
    }
    // Kept loaded for the rest of the run: pictures and sources it made may live until exit.
    l.table = table;
    l.reason.clear();
    return l;
  }
  if (l.reason.empty()) l.reason = std::string("no ") + kModuleName + " beside vidqual";
  return l;
}

const Loaded& loaded() {
  static std::once_flag once;
  static Loaded l;
  std::call_once(once, [] { l = load(); });
  return l;
}

const DecodeModule* module(std::string* why) {
  const Loaded& l = loaded();
  if (l.table == nullptr && why != nullptr) *why = "needs FFmpeg's libraries (" + l.reason + ")";
  return l.table;
}

}  // namespace

bool have_ffmpeg() {
  return module(nullptr) != nullptr;
}

std::string ffmpeg_absence() {
  return loaded().reason;
}

std::unique_ptr<Decompressor> open_decompressor(const StreamFormat& stream, PacketSource* packets) {
  // Raw frames are read without the libraries.
  if (packets == nullptr || !stream_needs_decoder(stream)) return nullptr;
  const DecodeModule* m = module(nullptr);
  return m ? m->open_decompressor(stream, packets) : nullptr;
}

std::unique_ptr<VideoSource> open_container(std::unique_ptr<InputFile> input, std::string* why,
                                            int64_t max_pixels) {
  const DecodeModule* m = module(why);
  return m ? m->open_input(std::move(input), why, max_pixels) : nullptr;
}

std::unique_ptr<VideoSource> open_container(const char* path, std::string* why,
                                            int64_t max_pixels) {
  const DecodeModule* m = module(why);
  return m ? m->open_path(path, why, max_pixels) : nullptr;
}

std::unique_ptr<VideoSource> open_container_memory(const uint8_t* data, size_t size,
                                                   std::string* why) {
  const DecodeModule* m = module(why);
  return m ? m->open_memory(data, size, why) : nullptr;
}

void PictureBuffer::StateDeleter::operator()(State* s) const {
  // Only the module makes states, so it is loaded when there is one.
  if (s != nullptr) loaded().table->free_state(s);
}
PictureBuffer::PictureBuffer() = default;
PictureBuffer::~PictureBuffer() = default;

int convert_picture(const Picture& in, ChromaLayout layout, int depth, PictureBuffer* out,
                    std::string* why, bool keep_range) {
  if (out == nullptr) return 0;
  // A picture in the form asked for is handed on without the libraries.
  if (picture_in_form(in, layout, depth, keep_range)) {
    out->picture = in;
    return 1;
  }
  const DecodeModule* m = module(why);
  return m ? m->convert_picture(in, layout, depth, out, why, keep_range) : 0;
}

int scale_picture(const Picture& in, int32_t width, int32_t height, ChromaLayout layout,
                  bool full_range, ScaleFilter filter, PictureBuffer* out, std::string* why) {
  const DecodeModule* m = module(why);
  return m ? m->scale_picture(in, width, height, layout, full_range, filter, out, why) : 0;
}

int rgb_picture(const Picture& in, int depth, PictureBuffer* out, std::string* why) {
  const DecodeModule* m = module(why);
  return m ? m->rgb_picture(in, depth, out, why) : 0;
}

}  // namespace vq
