// Frame offsets: the copies the run keeps of frames, the source that replays the first frames
// it read, and the offset search, which pairs the first frames of the two inputs at every shift
// and keeps the one whose luma matches best.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "compare/replay.h"

namespace vq {

namespace {

// The bytes of each plane's packed rows and their count.
void plane_sizes(const Picture& in, size_t row[3], size_t rows[3]) {
  const size_t bytes = size_t(sample_bytes(in.depth));
  for (int p = 0; p < 3; ++p) {
    const bool has = in.plane[p] != nullptr;
    row[p] = has ? size_t(std::max(p ? in.chroma_width : in.width, 0)) * bytes : 0;
    rows[p] = has ? size_t(std::max(p ? in.chroma_height : in.height, 0)) : 0;
  }
}

}  // namespace

int64_t copy_bytes(const Frame& f) {
  if (!f.is_picture()) return 0;
  size_t row[3], rows[3];
  plane_sizes(f.picture, row, rows);
  return int64_t(row[0] * rows[0] + row[1] * rows[1] + row[2] * rows[2]);
}

int OwnedFrame::assign(const Frame& f) {
  frame_ = Frame();
  if (!f.is_picture()) {
    // A refused frame: its reason and size are all it has.
    frame_.refused = f.refused;
    frame_.stated_width = f.stated_width;
    frame_.stated_height = f.stated_height;
    return 1;
  }
  const Picture& in = f.picture;
  size_t row[3], rows[3];
  plane_sizes(in, row, rows);
  const size_t total = size_t(copy_bytes(f));
  uint8_t* to = bytes_.reserve(std::max<size_t>(total, 1));
  if (to == nullptr) return 0;
  Picture out = in;
  for (int p = 0; p < 3; ++p) {
    if (in.plane[p] == nullptr) continue;
    for (size_t y = 0; y < rows[p]; ++y)
      std::memcpy(to + y * row[p], in.plane[p] + ptrdiff_t(y) * in.pitch[p], row[p]);
    out.plane[p] = to;
    out.pitch[p] = ptrdiff_t(row[p]);
    to += row[p] * rows[p];
  }
  frame_.picture = out;
  return 1;
}

Fetch ReplaySource::record(int32_t count) {
  // A stream of known length has no frame beyond it to read (it is an error, not an end).
  if (inner_->info().length_known) count = std::min(count, std::max(inner_->info().length, 0));
  Frame f;
  while (kept() < count) {
    Fetch got;
    try {
      got = inner_->get_frame(kept(), &f);
      if (got == Fetch::kFrame) {
        kept_.emplace_back();
        if (!kept_.back().assign(f)) {
          kept_.pop_back();
          got = Fetch::kOutOfMemory;
        }
      }
    } catch (const std::bad_alloc&) {
      got = Fetch::kOutOfMemory;
    }
    if (got == Fetch::kEnd) {
      end_ = kept();
      return Fetch::kFrame;
    }
    if (got != Fetch::kFrame) return got;
  }
  return Fetch::kFrame;
}

void ReplaySource::replay() {
  replaying_ = true;
  if (inner_->any_order()) {
    kept_.clear();
    kept_.shrink_to_fit();
  }
}

Fetch ReplaySource::get_frame(int32_t index, Frame* out) {
  if (replaying_) {
    // Frames before this one are never asked for again: their copies go.
    for (; released_ < std::min(index, kept()); ++released_)
      kept_[size_t(released_)].release();
  }
  if (index >= released_ && index < kept()) {
    *out = kept_[size_t(index)].frame();
    return Fetch::kFrame;
  }
  if (end_ >= 0 && index >= end_) return Fetch::kEnd;
  return inner_->get_frame(index, out);
}

RunFailure read_failure(Fetch got, const VideoSource& source, int input, int32_t index) {
  RunFailure f;
  f.outcome = got == Fetch::kOutOfMemory ? RunOutcome::kOutOfMemory : RunOutcome::kReadFailed;
  f.input = input + 1;
  f.input_frame = index + 1;
  f.reason = got == Fetch::kOutOfMemory ? "out of memory" : source.reason();
  return f;
}

void choose_offset(OffsetSearch* search) {
  OffsetSearch& s = *search;
  int32_t most = 0;
  for (const ShiftScore& c : s.shifts)
    most = std::max(most, c.pairs);
  // Ranks shift a before shift b: the higher mean, then the smaller |shift|, then the lower.
  const auto before = [](const ShiftScore& a, const ShiftScore& b) {
    if (a.mean_psnr != b.mean_psnr) return a.mean_psnr > b.mean_psnr;
    if (std::abs(a.shift) != std::abs(b.shift)) return std::abs(a.shift) < std::abs(b.shift);
    return a.shift < b.shift;
  };
  const ShiftScore* first = nullptr;
  const ShiftScore* second = nullptr;
  for (const ShiftScore& c : s.shifts) {
    if (c.pairs < 1 || 2 * c.pairs < most) continue;
    if (first == nullptr || before(c, *first)) {
      second = first;
      first = &c;
    } else if (second == nullptr || before(c, *second)) {
      second = &c;
    }
  }
  s.best = first ? first->shift : 0;
  s.runner_up = second ? second->shift : s.best;
  s.clear = first && second && first->mean_psnr - second->mean_psnr > kAlignMarginDb;
  s.offset = s.clear ? s.best : 0;
}

AlignPlan plan_align(int64_t pair_bytes, int64_t budget) {
  constexpr int32_t kMost = kAlignPairs + kAlignMaxShift;
  AlignPlan p;
  p.frames = kMost;
  if (pair_bytes > 0 && budget / pair_bytes < kMost)
    p.frames = int32_t(std::max<int64_t>(budget / pair_bytes, kAlignLeastFrames));
  p.narrowed = p.frames < kMost;
  p.max_shift = p.narrowed ? p.frames / 4 : kAlignMaxShift;
  p.pairs = p.narrowed ? p.frames - p.max_shift : kAlignPairs;
  return p;
}

int search_offset(ReplaySource* const replay[2], ScaleFilter scale, const ErrorSums& sums,
                  OffsetSearch* out, RunFailure* failure) {
  // Every shift's pairs lie within the first plan.frames frames of each input, which the first
  // frame of each tells the size of.
  const auto record = [&](int32_t count) {
    for (int i = 0; i < 2; ++i) {
      const Fetch got = replay[i]->record(count);
      if (got == Fetch::kFrame) continue;
      *failure = read_failure(got, *replay[i], i, replay[i]->kept());
      return 0;
    }
    return 1;
  };
  if (!record(1)) return 0;
  int64_t pair_bytes = 0;
  for (int i = 0; i < 2; ++i)
    if (replay[i]->kept() > 0) pair_bytes += copy_bytes(replay[i]->frame(0));
  const AlignPlan plan = plan_align(pair_bytes);
  if (!record(plan.frames)) return 0;
  OffsetSearch s;
  s.searched = true;
  s.frames = plan.frames;
  s.max_shift = plan.max_shift;
  s.narrowed = plan.narrowed;
  PairWork work;
  for (int32_t shift = -plan.max_shift; shift <= plan.max_shift; ++shift) {
    const int32_t from[2] = {std::max(0, -shift), std::max(0, shift)};
    ShiftScore score;
    score.shift = shift;
    double sum = 0;
    for (int32_t j = 0; j < plan.pairs; ++j) {
      const int32_t a = from[0] + j, b = from[1] + j;
      if (a >= replay[0]->kept() || b >= replay[1]->kept()) break;
      // A pair that cannot be formed takes no part: the run itself says why.
      FormedPair f;
      std::string why;
      if (form_pair(replay[0]->frame(a), replay[1]->frame(b), &work, &f, &why, scale) !=
          PairStatus::kFormed) {
        continue;
      }
      sum += luma_psnr(sums, f.picture[0], f.picture[1]);
      ++score.pairs;
    }
    if (score.pairs == 0) continue;
    score.mean_psnr = sum / double(score.pairs);
    s.shifts.push_back(score);
  }
  choose_offset(&s);
  *out = std::move(s);
  return 1;
}

}  // namespace vq
