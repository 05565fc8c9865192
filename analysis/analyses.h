#pragma once
// Every online analysis the program offers.

#include "analysis/framework/analysis.h"

#include <vector>

const std::vector<Analysis>& analyses();
