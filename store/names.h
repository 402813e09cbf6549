// The store compares and writes table and column names by the server's
// ASCII case rules.

#ifndef CORVANE_STORE_NAMES_H_
#define CORVANE_STORE_NAMES_H_

#include "Common/Include/ascii_case.h"

#endif  // CORVANE_STORE_NAMES_H_
