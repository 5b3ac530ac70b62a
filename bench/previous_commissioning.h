// The commissioning search of before (bench only): gear without a short
// address, no options.
#pragma once

#include "dali/commissioning.h"

namespace kovra62386::bench {

dali::CommissioningResult previous_commission(const dali::Transact& transact);

}  // namespace kovra62386::bench
