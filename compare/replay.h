// Frames the run keeps past their source's next fetch: a frame's own copy, and a source that
// keeps the first frames it reads so that they can be read again (the offset search reads them
// before the run does, and a pipe cannot give them back); and the one record of why a run
// failed. Private to compare/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "compare/workspace.h"

namespace vq {

// The bytes a copy of frame `f` takes (rows packed); 0 for a refused frame.
[[nodiscard]] int64_t copy_bytes(const Frame& f);

// A copy of a frame's planes (rows packed; a refused frame's reason), into memory reused from
// one assign() to the next.
class OwnedFrame {
 public:
  // 1 when copied; 0 when memory runs out.
  [[nodiscard]] int assign(const Frame& f);
  [[nodiscard]] const Frame& frame() const { return frame_; }
  // Gives the memory back.
  void release() {
    bytes_ = Workspace();
    frame_ = Frame();
  }

 private:
  Workspace bytes_;
  Frame frame_;
};

// A source in front of another: while it records, every frame read from frame 0 on is copied;
// once it replays, those frames are served from the copies (each released when a later frame
// is asked for, since the run asks in increasing order) and the rest from the source itself. A
// source that serves any index in any order gives its copies back at once and serves every
// frame itself.
class ReplaySource final : public VideoSource {
 public:
  explicit ReplaySource(VideoSource* inner) : inner_(inner) {}

  [[nodiscard]] const SourceInfo& info() const override { return inner_->info(); }
  [[nodiscard]] Fetch get_frame(int32_t index, Frame* out) override;
  [[nodiscard]] std::string reason() const override { return inner_->reason(); }

  // Reads frames 0 .. count-1 into copies, stopping at the end of the stream. kFrame when every
  // frame there is was read (kept() says how many); otherwise how frame kept() failed.
  [[nodiscard]] Fetch record(int32_t count);
  [[nodiscard]] int32_t kept() const { return int32_t(kept_.size()); }
  // Frame i < kept() as recorded.
  [[nodiscard]] const Frame& frame(int32_t i) const { return kept_[size_t(i)].frame(); }
  // From now on frames are served for the run.
  void replay();

 private:
  VideoSource* inner_;
  std::vector<OwnedFrame> kept_;
  int32_t released_ = 0;  // copies below this index are given back
  int32_t end_ = -1;      // the index where the stream ended while recording, -1 if it did not
  bool replaying_ = false;
};

// Why a run stops before its plan's end, set once where it is found and applied to the result
// once every pair before it is taken: a frame that could not be read (by the offset search,
// among the skipped frames or for a pair) or a pair that could not be scored.
struct RunFailure {
  RunOutcome outcome = RunOutcome::kOk;
  int input = 0;            // 1 or 2: the input a frame of which could not be read
  int32_t pair = 0;         // 1-based: the pair that could not be read or scored
  int32_t input_frame = 0;  // 1-based: the frame of `input` that could not be read
  std::string reason;

  [[nodiscard]] bool failed() const { return outcome != RunOutcome::kOk; }
  void apply(RunResult* r) const {
    r->outcome = outcome;
    r->failed_input = input;
    r->failed_frame = pair;
    r->failed_input_frame = input_frame;
    r->reason = reason;
  }
};

// The failure of fetching frame `index` (0-based) of input `input` (0 or 1) with `got`.
[[nodiscard]] RunFailure read_failure(Fetch got, const VideoSource& source, int input,
                                      int32_t index);

// Reads the first frames of both inputs into `replay`, as many as plan_align keeps of pictures
// the size of the first, and scores every shift's pairing by its mean luma PSNR (choose_offset
// decides). 1 with *out filled; 0 with *failure when a frame could not be read.
[[nodiscard]] int search_offset(ReplaySource* const replay[2], ScaleFilter scale,
                                const ErrorSums& sums, OffsetSearch* out, RunFailure* failure);

}  // namespace vq
