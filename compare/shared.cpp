// One source read for several runs at once: each frame fetched once, copied, and handed to every
// view that asks for it.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>

#include "compare/compare.h"
#include "compare/replay.h"

namespace vq {

struct SharedSource::Core {
  VideoSource* inner;
  int window;
  std::mutex mutex;
  std::condition_variable moved;
  std::deque<OwnedFrame> kept;  // frames base .. base + kept.size() - 1
  int32_t base = 0;
  std::vector<int32_t> at;  // each view's last frame asked for (INT32_MAX once it is gone)
  bool fetching = false;
  int32_t failed_at = -1;  // the frame whose fetch did not give one, and how
  Fetch failure = Fetch::kEnd;

  // Frames no view may ask for again are given back.
  void release() {
    const int32_t lowest = *std::min_element(at.begin(), at.end());
    while (!kept.empty() && base < lowest) {
      kept.pop_front();
      ++base;
    }
  }
  [[nodiscard]] int32_t next() const { return base + int32_t(kept.size()); }

  Fetch get(int v, int32_t index, Frame* out) {
    std::unique_lock<std::mutex> lock(mutex);
    at[size_t(v)] = index;
    release();
    moved.notify_all();
    for (;;) {
      if (index < base) return Fetch::kError;  // asked for again after moving on
      if (index < next()) {
        *out = kept[size_t(index - base)].frame();
        return Fetch::kFrame;
      }
      if (failed_at >= 0 && index >= failed_at) return failure;
      if (!fetching && int(kept.size()) < window) {
        fetching = true;
        const int32_t i = next();
        lock.unlock();
        Frame f;
        Fetch got;
        try {
          got = inner->get_frame(i, &f);
        } catch (const std::bad_alloc&) {
          got = Fetch::kOutOfMemory;
        }
        OwnedFrame copy;
        if (got == Fetch::kFrame && !copy.assign(f)) got = Fetch::kOutOfMemory;
        lock.lock();
        fetching = false;
        if (got == Fetch::kFrame) {
          kept.push_back(std::move(copy));
        } else {
          failed_at = i;
          failure = got;
        }
        moved.notify_all();
        continue;
      }
      moved.wait(lock);
    }
  }

  void leave(int v) {
    std::lock_guard<std::mutex> lock(mutex);
    at[size_t(v)] = INT32_MAX;
    release();
    moved.notify_all();
  }
};

namespace {

class View final : public VideoSource {
 public:
  View(std::shared_ptr<SharedSource::Core> core, int v) : core_(std::move(core)), v_(v) {}
  ~View() override { core_->leave(v_); }
  [[nodiscard]] const SourceInfo& info() const override { return core_->inner->info(); }
  [[nodiscard]] Fetch get_frame(int32_t index, Frame* out) override {
    return core_->get(v_, index, out);
  }
  // A frame the slowest view has passed is gone, whatever the file's length.
  [[nodiscard]] bool any_order() const override { return false; }
  [[nodiscard]] std::string reason() const override {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->inner->reason();
  }

 private:
  std::shared_ptr<SharedSource::Core> core_;
  int v_;
};

}  // namespace

SharedSource::SharedSource(VideoSource* inner, int views, int window)
    : core_(std::make_shared<Core>()) {
  core_->inner = inner;
  core_->window = std::max(window, 2);
  core_->at.assign(size_t(std::max(views, 1)), 0);
}

std::unique_ptr<VideoSource> SharedSource::view(int v) {
  return std::make_unique<View>(core_, v);
}

}  // namespace vq
