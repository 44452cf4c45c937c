#include "support/Threads.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

namespace tarsil {

namespace {

constexpr unsigned mostByDefault = 4;
unsigned chosen = 0;

unsigned fromEnvironment() {
  const char* text = std::getenv("TARSIL_THREADS");
  if (text == nullptr) return 0;
  unsigned value = 0;
  for (char c : std::string_view(text)) {
    if (c < '0' || c > '9' || value > 1000) return 0;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

}  // namespace

unsigned threadCount() {
  if (chosen != 0) return chosen;
  if (unsigned env = fromEnvironment(); env != 0) return env;
  return std::clamp(std::thread::hardware_concurrency(), 1u, mostByDefault);
}

void setThreadCount(unsigned count) { chosen = count; }

void parallelFor(size_t n, const std::function<void(size_t)>& fn) {
  const size_t threads = std::min<size_t>(threadCount(), n);
  if (threads <= 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<size_t> next{0};
  std::vector<std::exception_ptr> failures(n);
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) {
      try {
        fn(i);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace tarsil
