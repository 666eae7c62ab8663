#include "framework/block_stats.h"

namespace qor {

const char* drop_reason_name(DropReason reason) {
  switch (reason) {
    case DropReason::kOverflow:
      return "overflow";
    case DropReason::kBadInput:
      return "bad_input";
    case DropReason::kBudget:
      return "budget";
    case DropReason::kRefused:
      return "refused";
  }
  return "unknown";
}

}  // namespace qor
