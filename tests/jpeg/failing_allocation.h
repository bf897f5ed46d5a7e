// Makes one allocation fail: the next one of the size set here (0: none)
// raises std::bad_alloc, once. The replaced global allocation functions
// live in a file of their own, so that no caller inlines them.
#pragma once

#include <atomic>
#include <cstddef>

extern std::atomic<size_t> FailAllocationOfSize;
