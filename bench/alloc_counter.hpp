// Heap allocation counter for the benchmark program.
//
// alloc_counter.cpp replaces the global operator new and delete, and
// aligned_alloc (which Asio uses for coroutine frames), of the whole process
// with versions that count every allocation (the runtime's libraries, ONNX
// Runtime and the standard library all resolve to them), so a benchmark can
// report how many heap allocations one step makes. Counting is a relaxed
// atomic increment: cheap enough to leave on for the timed runs, and correct
// when ONNX Runtime's worker threads allocate.
#pragma once

#include <cstdint>

namespace tarvik_bench {

// Heap allocations (operator new and aligned_alloc) since the process started.
std::uint64_t allocations() noexcept;
// Adds one to the count (used by the replaced functions).
void count_allocation() noexcept;

}  // namespace tarvik_bench
