#pragma once
// The largest single allocation through operator new since the last reset:
// a test executable that links LargestAllocation.cpp replaces the global
// operator new to count it.

#include <atomic>
#include <cstddef>

extern std::atomic<size_t> LargestAllocation_;
