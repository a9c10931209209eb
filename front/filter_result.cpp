// SPDX-License-Identifier: Apache-2.0
// filter_result.cpp - the process-wide okResult constant.
#include "front/filter_result.h"

namespace tarnwick {

const FilterResult okResult(FilterResult::Ok);

}  // namespace tarnwick
