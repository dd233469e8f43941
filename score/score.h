// The score table: one column per score name ("psnr_y", "float_ssim", "vmaf", ...), one row per
// compared pair. Metrics write into it, from any thread and in any order; outputs read it and
// never name a metric. Pooling (mean, harmonic mean, min, max, percentiles, the worst pair) and
// the aggregates (scores of the whole run that are not a pooling of per-pair values, such as the
// PSNR of the mean squared error) live here, computed in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

// What a column is, for the outputs: its name ("psnr_cb"), the family it is drawn and pooled with
// ("psnr": y_psnr and psnr_y are one family), the plane it scores ("Y", "U", "V", "Cb", "Cr",
// "All"; empty for a score of the whole picture), and what a legend calls it within its family
// (the plane, or the name when it has none). Metrics declare it; no output reads it out of a name.
struct ScoreInfo {
  std::string name;
  std::string label;
  std::string family;
  std::string plane;
};

// The description of a score of the whole picture: its own family, labelled by its name.
[[nodiscard]] ScoreInfo whole_score(std::string_view name);
// The description of a score of one plane of a family.
[[nodiscard]] ScoreInfo plane_score(std::string_view name, std::string_view family,
                                    std::string_view plane);

// How one column pools over the pairs that have a value in it.
struct Pooled {
  int32_t count = 0;  // pairs with a value
  double min = 0;
  double max = 0;
  double mean = 0;           // sum / count, added in pair order
  double harmonic_mean = 0;  // count / sum(1 / (x + 1)) - 1, as libvmaf pools; NaN when an x < -1
  int32_t worst_pair = -1;   // 0-based pair of the lowest value (the first such), -1 when none
};

class ScoreTable {
 public:
  ScoreTable() = default;
  ScoreTable(const ScoreTable&) = delete;
  ScoreTable& operator=(const ScoreTable&) = delete;

  // The column of `name`, made when it is new. Columns keep the order they were first declared
  // in, which is the order every output lists them. Metrics declare their columns when they are
  // made, before the first pair, so that the order does not depend on threads.
  int declare(std::string_view name);
  // The same with what the column is; a column already declared by name alone gets it.
  int declare(const ScoreInfo& info);
  // A column a metric keeps for itself (per-pair sums it reads back in flush) and no output
  // shows; declared like any other, at any time.
  int declare_hidden(std::string_view name);
  [[nodiscard]] bool hidden(int column) const;
  // The column of `name`, or -1.
  [[nodiscard]] int find(std::string_view name) const;

  // Writes the value of `column` for pair `pair` (0-based). Safe from any thread.
  void set(int column, int32_t pair, double value);
  // 1 and *value when pair `pair` has a value in `column`; 0 otherwise.
  [[nodiscard]] int get(int column, int32_t pair, double* value) const;

  [[nodiscard]] size_t columns() const;
  [[nodiscard]] const std::string& name(int column) const;
  [[nodiscard]] const ScoreInfo& info(int column) const;
  // One more than the highest pair with any value.
  [[nodiscard]] int32_t rows() const;
  // Forgets every value of pair `pair` and the pairs after it: a run that stops at a pair drops
  // what its threads scored beyond it, so that the table holds exactly the pairs it reports.
  void drop_from(int32_t pair);

  // Pools `column` over pairs 0 .. rows()-1.
  [[nodiscard]] Pooled pool(int column) const;
  // The value below which `percent` percent of the column's values lie: the nearest-rank
  // percentile of its sorted values (percent 50 is the median), 0 when it has none.
  [[nodiscard]] double percentile(int column, double percent) const;

  // Scores of the whole run, by name, in the order they were first set ("apsnr_y", ...).
  void set_aggregate(std::string_view name, double value);
  [[nodiscard]] const std::vector<std::pair<std::string, double>>& aggregates() const {
    return aggregates_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ScoreInfo> infos_;
  std::vector<std::vector<double>> values_;  // per column, per pair; NaN where not set
  std::vector<std::vector<uint8_t>> present_;
  std::vector<uint8_t> hidden_;
  int32_t rows_ = 0;
  std::vector<std::pair<std::string, double>> aggregates_;
};

}  // namespace vq
