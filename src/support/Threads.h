#pragma once
// The threads a link may use. Work split over them must write only its own
// results, so that the outputs and messages are those of one thread.
#include <cstddef>
#include <functional>

namespace tarsil {

// The number of threads, at least 1: what setThreadCount gave, else
// TARSIL_THREADS when it is a positive number, else the processors present
// (at most a few: the work that is split is bound by memory, not by cores).
unsigned threadCount();
void setThreadCount(unsigned count);

// Calls fn(0) .. fn(n - 1), each once, on up to threadCount() threads, and
// returns when all have returned. An exception leaves the call that threw
// first in index order, after the others have finished.
void parallelFor(size_t n, const std::function<void(size_t)>& fn);
// The same, telling fn which thread runs the call (from 0 to below
// threadCount()), for work that keeps something of its own per thread.
void parallelForWithWorker(size_t n, const std::function<void(size_t index, unsigned worker)>& fn);

}  // namespace tarsil
