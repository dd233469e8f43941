// Test helper: one pair scored with some requests at the scalar and the fastest kernels, against
// libvmaf's log of it. The including target defines VQ_REFERENCE_DIR and links nlohmann-json.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/frames.h"
#include "tests/reference/reference.h"

namespace vq::test {

using Tiers = std::vector<std::pair<const char*, uint32_t>>;

// Scores pair `pair` with `requests` at each of `tiers` (scalar and the fastest unless told) and
// expects libvmaf's log `pair.set.json` in every frame's `names` and in the pooled means of
// `pooled`. False, having checked nothing, when the pair cannot be made.
inline bool expect_log(const std::string& pair, const std::string& set,
                       const std::vector<std::string>& requests,
                       const std::vector<std::string>& names,
                       const std::vector<std::string>& pooled,
                       const Tiers& tiers = test::scalar_and_best()) {
  if (!reference::make_pair(pair)) return false;
  reference::Log log;
  if (!reference::load_log(pair + "." + set + ".json", &log)) {
    ADD_FAILURE() << "no libvmaf log " << pair << "." << set;
    return true;
  }
  for (const auto& [tier, flags] : tiers) {
    SCOPED_TRACE(tier);
    ScoreTable t;
    reference::score_pair(pair, requests, flags, &t);
    reference::expect_matches(t, log, names);
    reference::expect_pooled_means(t, log, pooled);
  }
  return true;
}

}  // namespace vq::test
