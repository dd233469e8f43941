// Inside the front end: the long options other than the outputs, one row each, shared by the
// scan and --help.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"

namespace vq {

// One long option: --name for a flag, --name=VALUE for an option that takes a value (which must
// not be empty). Each sets one field of Arguments; an option that may be given more than once
// adds its value to a list instead.
struct LongOption {
  const char* name;
  const char* value;                            // the value's name in --help; nullptr for a flag
  std::optional<std::string> Arguments::*text;  // where the value goes
  bool Arguments::*flag;                        // where a flag goes
  const char* help;                             // one line for --help
  std::vector<std::string> Arguments::*list = nullptr;  // where each value goes, when repeatable
  const char* metric = nullptr;  // a flag that stands for --metric=this (kept in the list)
};
// In the order --help lists them, after the outputs.
[[nodiscard]] std::span<const LongOption> long_options();

// Whole text a decimal number: white space, one sign, digits, nothing after.
[[nodiscard]] bool is_number(std::string_view text);

}  // namespace vq
