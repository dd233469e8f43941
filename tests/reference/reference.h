// The harness the metric tests share: the deterministic pairs of inputs.sh, scored by one metric
// read through the project's own Y4M reader, and libvmaf's JSON logs committed beside them, read
// back as per-pair values. The including target defines VQ_REFERENCE_DIR (this folder) and links
// nlohmann-json.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "metrics/metric.h"
#include "source/source.h"

namespace vq::reference {

inline std::filesystem::path dir() {
  return VQ_REFERENCE_DIR;
}

// Where inputs.sh puts the pairs for the tests: one folder shared by every test process.
inline std::filesystem::path input_dir() {
  return std::filesystem::temp_directory_path() / "vidqual-reference-inputs";
}

// Makes pair `name` (once); false when FFmpeg's CLI is missing or fails.
inline bool make_pair(const std::string& name) {
  const std::string cmd = "command -v ffmpeg >/dev/null 2>&1 && bash '" +
                          (dir() / "inputs.sh").string() + "' '" + input_dir().string() + "' " +
                          name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

inline std::string ref_path(const std::string& name) {
  return (input_dir() / (name + ".ref.y4m")).string();
}
inline std::string dist_path(const std::string& name) {
  return (input_dir() / (name + ".dist.y4m")).string();
}

// libvmaf's log of one reference file: per frame, score name -> value; pooled mean per name.
struct Log {
  std::vector<nlohmann::json> frames;  // frames[i]["metrics"][name]
  nlohmann::json pooled;               // pooled[name]["mean"], ...
  nlohmann::json aggregate;
};

// Read from the folder `folder` of this one: libvmaf's logs, or libjxl's tools' values in the
// same layout (jxl/).
inline bool load_log(const std::string& file, Log* out, const char* folder = "libvmaf") {
  std::ifstream f(dir() / folder / file);
  if (!f) return false;
  const nlohmann::json j = nlohmann::json::parse(f, nullptr, false);
  if (j.is_discarded()) return false;
  for (const auto& fr : j.at("frames"))
    out->frames.push_back(fr);
  out->pooled = j.value("pooled_metrics", nlohmann::json::object());
  out->aggregate = j.value("aggregate_metrics", nlohmann::json::object());
  return true;
}

// Scores pair `name` (the reference first) with the metrics asked for as on the command line
// ("float_ssim=scale=1", "vmaf"), every pair in order on one scorer each, then flushes them in
// order. The metrics they need are scored too, once. Failures are reported as test failures and
// leave the table short.
inline void score_pair(const std::string& name, const std::vector<std::string>& requests,
                       uint32_t cpu_flags, ScoreTable* table) {
  std::vector<MetricRequest> asked;
  std::string why;
  for (const std::string& request : requests) {
    MetricRequest r;
    ASSERT_TRUE(parse_metric_request(request, &r, &why)) << why;
    asked.push_back(std::move(r));
  }
  std::vector<MetricRequest> all;
  ASSERT_TRUE(expand_metric_requests(asked, &all, &why)) << why;
  std::unique_ptr<VideoSource> src[2];
  ASSERT_EQ(open_video(ref_path(name).c_str(), {}, &src[0], &why), OpenStatus::kOpened) << why;
  ASSERT_EQ(open_video(dist_path(name).c_str(), {}, &src[1], &why), OpenStatus::kOpened) << why;
  std::vector<std::unique_ptr<Metric>> scorers;
  for (int32_t i = 0;; ++i) {
    Frame f[2];
    const Fetch a = src[0]->get_frame(i, &f[0]);
    const Fetch b = src[1]->get_frame(i, &f[1]);
    if (a != Fetch::kFrame || b != Fetch::kFrame) break;
    const Picture& ref = f[0].picture;
    const Picture& dist = f[1].picture;
    if (scorers.empty()) {
      PictureForm form;
      form.width = ref.width;
      form.height = ref.height;
      form.chroma_width = ref.chroma_width;
      form.chroma_height = ref.chroma_height;
      form.depth = ref.depth;
      form.layout = ref.layout;
      for (const MetricRequest& r : all) {
        for (const std::string& s : r.row->scores(r.options))
          table->declare(s);
        std::unique_ptr<Metric> m;
        ASSERT_EQ(r.row->make(form, r.options, cpu_flags, &m, &why), MetricStatus::kOk) << why;
        scorers.push_back(std::move(m));
      }
    }
    for (auto& m : scorers)
      ASSERT_EQ(m->score(i, ref, dist, table), MetricStatus::kOk) << "pair " << i;
  }
  for (auto& m : scorers)
    ASSERT_EQ(m->flush(table), MetricStatus::kOk);
}

inline void score_pair(const std::string& name, const std::string& request, uint32_t cpu_flags,
                       ScoreTable* table) {
  score_pair(name, std::vector<std::string>{request}, cpu_flags, table);
}

// Expects every frame's `names` in the table to equal libvmaf's printed value (six decimals)
// within one unit of the sixth decimal, and the table to have as many rows as the log frames.
inline void expect_matches(const ScoreTable& table, const Log& log,
                           const std::vector<std::string>& names) {
  ASSERT_EQ(size_t(table.rows()), log.frames.size());
  for (const std::string& n : names) {
    const int c = table.find(n);
    ASSERT_GE(c, 0) << "no column " << n;
    for (size_t i = 0; i < log.frames.size(); ++i) {
      const auto& m = log.frames[i].at("metrics");
      ASSERT_TRUE(m.contains(n)) << "libvmaf's log has no " << n;
      double v = 0;
      ASSERT_TRUE(table.get(c, int32_t(i), &v)) << n << " frame " << i;
      EXPECT_NEAR(v, m.at(n).get<double>(), 1.0000001e-6) << n << " frame " << i;
    }
  }
}

// Expects the mean of each of `names` over the table's pairs to equal libvmaf's pooled mean
// within one unit of its sixth decimal.
inline void expect_pooled_means(const ScoreTable& table, const Log& log,
                                const std::vector<std::string>& names) {
  for (const std::string& n : names) {
    double mean = 0;
    const int c = table.find(n);
    for (int32_t i = 0; i < table.rows(); ++i) {
      double v = 0;
      ASSERT_TRUE(table.get(c, i, &v)) << n << " frame " << i;
      mean += v / table.rows();
    }
    EXPECT_NEAR(mean, log.pooled.at(n).at("mean").get<double>(), 1.0000001e-6) << n;
  }
}

}  // namespace vq::reference
