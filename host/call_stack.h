// The labels of the uCallStackTracker markers alive on this thread, oldest
// first; for diagnostics and tests.
#pragma once

#include <vector>

const std::vector<const char*>& call_stack_labels();
