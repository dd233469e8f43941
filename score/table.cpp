// The score table: columns with their descriptions, values per pair, pooling and aggregates.
#include <algorithm>
#include <cmath>
#include <limits>

#include "score/score.h"

namespace vq {

ScoreInfo whole_score(std::string_view name) {
  return ScoreInfo{std::string(name), std::string(name), std::string(name), {}};
}

ScoreInfo plane_score(std::string_view name, std::string_view family, std::string_view plane) {
  return ScoreInfo{std::string(name), std::string(plane), std::string(family), std::string(plane)};
}

int ScoreTable::declare(std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < infos_.size(); ++i)
    if (infos_[i].name == name) return int(i);
  infos_.push_back(whole_score(name));
  values_.emplace_back(size_t(rows_), 0.0);
  present_.emplace_back(size_t(rows_), uint8_t(0));
  hidden_.push_back(0);
  return int(infos_.size() - 1);
}

int ScoreTable::declare(const ScoreInfo& info) {
  const int column = declare(info.name);
  std::lock_guard<std::mutex> lock(mutex_);
  infos_[size_t(column)] = info;
  return column;
}

int ScoreTable::declare_hidden(std::string_view name) {
  const int column = declare(name);
  std::lock_guard<std::mutex> lock(mutex_);
  hidden_[size_t(column)] = 1;
  return column;
}

bool ScoreTable::hidden(int column) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return column >= 0 && size_t(column) < hidden_.size() && hidden_[size_t(column)];
}

int ScoreTable::find(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < infos_.size(); ++i)
    if (infos_[i].name == name) return int(i);
  return -1;
}

void ScoreTable::set(int column, int32_t pair, double value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (column < 0 || size_t(column) >= infos_.size() || pair < 0) return;
  if (pair >= rows_) {
    rows_ = pair + 1;
    for (size_t c = 0; c < values_.size(); ++c) {
      values_[c].resize(size_t(rows_), 0.0);
      present_[c].resize(size_t(rows_), uint8_t(0));
    }
  }
  values_[size_t(column)][size_t(pair)] = value;
  present_[size_t(column)][size_t(pair)] = 1;
}

int ScoreTable::get(int column, int32_t pair, double* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (column < 0 || size_t(column) >= infos_.size() || pair < 0 || pair >= rows_) return 0;
  if (!present_[size_t(column)][size_t(pair)]) return 0;
  *value = values_[size_t(column)][size_t(pair)];
  return 1;
}

size_t ScoreTable::columns() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return infos_.size();
}

const std::string& ScoreTable::name(int column) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return infos_[size_t(column)].name;
}

const ScoreInfo& ScoreTable::info(int column) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return infos_[size_t(column)];
}

int32_t ScoreTable::rows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_;
}

void ScoreTable::drop_from(int32_t pair) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pair < 0) pair = 0;
  if (pair >= rows_) return;
  rows_ = pair;
  for (size_t c = 0; c < values_.size(); ++c) {
    values_[c].resize(size_t(rows_));
    present_[c].resize(size_t(rows_));
  }
}

Pooled ScoreTable::pool(int column) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Pooled p;
  if (column < 0 || size_t(column) >= infos_.size()) return p;
  const std::vector<double>& v = values_[size_t(column)];
  const std::vector<uint8_t>& have = present_[size_t(column)];
  double sum = 0, inverse_sum = 0;
  bool no_term_negative = true;  // no 1 / (x + 1) below 0
  for (int32_t i = 0; i < rows_; ++i) {
    if (!have[size_t(i)]) continue;
    const double x = v[size_t(i)];
    if (p.count == 0 || x < p.min) {
      p.min = x;
      p.worst_pair = i;
    }
    if (p.count == 0 || x > p.max) p.max = x;
    sum += x;
    inverse_sum += 1.0 / (x + 1.0);
    no_term_negative = no_term_negative && x >= -1.0;
    ++p.count;
  }
  if (p.count > 0) {
    p.mean = sum / double(p.count);
    // Undefined where a value is below -1 (SSIMULACRA 2 of a picture far from its reference):
    // the sum of inverses would mix signs. A value of -1 (a feature's sentinel) makes it -1, as
    // libvmaf prints it.
    p.harmonic_mean = no_term_negative ? double(p.count) / inverse_sum - 1.0
                                       : std::numeric_limits<double>::quiet_NaN();
  }
  return p;
}

double ScoreTable::percentile(int column, double percent) const {
  std::vector<double> sorted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (column < 0 || size_t(column) >= infos_.size()) return 0;
    for (int32_t i = 0; i < rows_; ++i)
      if (present_[size_t(column)][size_t(i)]) sorted.push_back(values_[size_t(column)][size_t(i)]);
  }
  if (sorted.empty()) return 0;
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest value with at least `percent` percent of the values at or below it.
  // The product first: percent x count is exact for whole percents, so a rank that is a whole
  // number stays one (7 / 100.0 x 100 is 7.000000000000001, whose ceiling is 8).
  double rank = std::ceil(percent * double(sorted.size()) / 100.0);
  rank = std::clamp(rank, 1.0, double(sorted.size()));
  return sorted[size_t(rank) - 1];
}

void ScoreTable::set_aggregate(std::string_view name, double value) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& a : aggregates_) {
    if (a.first == name) {
      a.second = value;
      return;
    }
  }
  aggregates_.emplace_back(std::string(name), value);
}

}  // namespace vq
