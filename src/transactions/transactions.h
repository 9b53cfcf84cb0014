// Read and write requests (codes 5/6 and 7/10): tries, link re-establishment, route switch.
#pragma once

#include "vpisd/vpi.h"

namespace vpisd {

constexpr int kTransactionTries = 10;
constexpr int kGasCopyCharacters = 32;

int32_t ReadTransaction(const VpiRequest *request);
int32_t WriteTransaction(const VpiRequest *request);

} // namespace vpisd
