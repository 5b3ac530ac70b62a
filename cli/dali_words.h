// Words for DALI answers. The knowledge lives in dali/answers.h; the CLI
// uses it under the names it has always used.
#pragma once

#include "dali/answers.h"

namespace kovra62386::cli {

using dali::answer_meaning;
using dali::device_type_name;
using dali::group_list;
using dali::group_text;
using dali::is_yes_no_query;
using dali::level_text;
using dali::status_text;

}  // namespace kovra62386::cli
