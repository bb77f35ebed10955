// Independent checkers for the common helpers' tests: hexadecimal text of
// bytes, and python3 as a second opinion on encodings and digests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tools/testkit/checkers.h"

namespace common_tests {

using tovel::testing::from_hex;
using tovel::testing::python;
using tovel::testing::to_hex;

}  // namespace common_tests
