// SPDX-License-Identifier: Apache-2.0
#include "support/Threads.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/Debug.h"
#include "support/Error.h"

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

thread_local size_t tRunEnd = SIZE_MAX;

// Where reserveHeap's block was, kept so that taking and giving it back is
// not left out as doing nothing.
std::atomic<char*> reservedAt{nullptr};

// A thread other than the first allocates from a heap of its own, which
// the C library grows only as far as each allocation needs, with a call to
// the kernel each time: thousands of calls while a thread reads half the
// inputs. One large block taken and given back at the thread's start grows
// that heap once; the room stays with it (the process keeps freed room, see
// main) for this thread and those that take its heap over later.
// The address sanitizer's allocator has no such heaps to grow, and poisons
// and quarantines the whole block instead: a small link would spend most of
// its time there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedHeap = true;
#elif defined(__has_feature)
constexpr bool kSanitizedHeap = __has_feature(address_sanitizer);
#else
constexpr bool kSanitizedHeap = false;
#endif

void reserveHeap() {
  if constexpr (kSanitizedHeap) return;
  constexpr size_t room = 16 << 20;
  char* block = new char[room];
  reservedAt.store(block, std::memory_order_relaxed);
  delete[] block;
}

// Calls fn(i, worker) for i from 0 to n - 1, each once, on up to
// threadCount() threads (at least two), telling fn which thread runs it;
// returns when all have returned. An exception leaves the call that threw first in index
// order, after the others have finished.
void parallelForWithWorker(size_t n, const std::function<void(size_t, unsigned)>& fn) {
  const size_t threads = std::min<size_t>(threadCount(), n);
  // Indices are handed out a run at a time: one shared counter taken per
  // index costs more than a small input's work once the threads contend
  // for it, and neighbouring inputs lie near each other in memory. Runs
  // stay short enough to even out inputs of very different sizes, and long
  // enough that asking ahead, which stops at a run's end, mostly goes on.
  const size_t run = std::clamp<size_t>(n / (threads * 64), 1, 64);
  std::atomic<size_t> next{0};
  // Few calls throw: their exceptions are kept by index, not a slot for each.
  std::mutex failing;
  std::vector<std::pair<size_t, std::exception_ptr>> failures;
  auto work = [&](unsigned worker) {
    for (size_t first; (first = next.fetch_add(run, std::memory_order_relaxed)) < n;) {
      const size_t end = std::min(first + run, n);
      tRunEnd = end;
      for (size_t i = first; i < end; ++i) {
        try {
          fn(i, worker);
        } catch (...) {
          const std::lock_guard<std::mutex> lock(failing);
          failures.emplace_back(i, std::current_exception());
        }
      }
    }
    tRunEnd = SIZE_MAX;
  };
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  for (unsigned t = 1; t < threads; ++t)
    helpers.emplace_back([&work, t] {
      reserveHeap();
      work(t);
    });
  work(0);
  for (std::thread& helper : helpers) helper.join();
  if (failures.empty()) return;
  auto first = std::min_element(failures.begin(), failures.end(),
                                [](const auto& a, const auto& b) { return a.first < b.first; });
  std::rethrow_exception(first->second);
}

}  // namespace

size_t runEnd() { return tRunEnd; }

unsigned threadCount() {
  if (chosen != 0) return chosen;
  if (unsigned env = fromEnvironment(); env != 0) return env;
  return std::clamp(std::thread::hardware_concurrency(), 1u, mostByDefault);
}

void setThreadCount(unsigned count) { chosen = count; }

namespace {

// One call with its messages held; false when it failed or met a fatal error.
bool holding(const std::function<bool(size_t, unsigned)>& fn, size_t i, unsigned worker,
             std::vector<Error::Message>& said) {
  Error::Hold hold(said);
  try {
    return fn(i, worker);
  } catch (const Error::Halted&) {
    return false;
  }
}

}  // namespace

size_t inOrderHolding(size_t n, const std::function<bool(size_t, unsigned)>& fn, HeldMessages& held) {
  held.clear();
  if (threadCount() <= 1 || n < 2) {
    std::vector<Error::Message> said;
    for (size_t i = 0; i < n; ++i) {
      const bool done = holding(fn, i, 0, said);
      if (!said.empty()) held.emplace_back(i, std::move(said));
      said.clear();
      if (!done) return i;
    }
    return n;
  }
  // Calls after a known failure need not be made; those before it must,
  // since one of them may fail too.
  std::atomic<size_t> firstFailed{n};
  // Most calls say nothing: each thread collects a call's messages in its
  // own list, and only calls that said something keep theirs, by index.
  std::vector<std::vector<Error::Message>> collecting(threadCount());
  std::mutex keeping;
  parallelForWithWorker(n, [&](size_t i, unsigned worker) {
    if (i > firstFailed.load(std::memory_order_relaxed)) return;
    std::vector<Error::Message>& said = collecting[worker];
    const bool done = holding(fn, i, worker, said);
    if (!said.empty()) {
      const std::lock_guard<std::mutex> lock(keeping);
      held.emplace_back(i, std::move(said));
      said.clear();
    }
    if (done) return;
    size_t seen = firstFailed.load(std::memory_order_relaxed);
    while (i < seen && !firstFailed.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  });
  const size_t failed = firstFailed.load();
  std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::erase_if(held, [failed](const auto& entry) { return entry.first > failed; });
  return failed;
}

size_t inOrderUntilFailure(size_t n, const std::function<bool(size_t, unsigned)>& fn) {
  if (threadCount() <= 1 || n < 2 || Debug::anyOn()) {
    for (size_t i = 0; i < n; ++i)
      if (!fn(i, 0)) return i;
    return n;
  }
  HeldMessages held;
  const size_t failed = inOrderHolding(n, fn, held);
  for (const auto& [i, messages] : held) Error::release(messages);
  return failed;
}

Beside::Beside(const std::function<void()>& work) {
  if (threadCount() <= 1 || Debug::anyOn()) {
    work();
    return;
  }
  cThread = std::thread([this, work] {
    Error::Hold hold(cHeld);
    try {
      work();
    } catch (const Error::Halted&) {
      // The fatal message is among those held.
    } catch (...) {
      cFailure = std::current_exception();
    }
  });
}

Beside::~Beside() {
  if (cThread.joinable()) cThread.join();
}

void Beside::join() {
  if (!cThread.joinable()) return;
  cThread.join();
  // A fatal message among them ends the process here.
  Error::release(cHeld);
  if (cFailure) std::rethrow_exception(cFailure);
}

}  // namespace tarsil
