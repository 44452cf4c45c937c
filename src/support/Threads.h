// SPDX-License-Identifier: Apache-2.0
#pragma once
// The threads a link may use. Work split over them must write only its own
// results, so that the outputs and messages are those of one thread.
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "support/Error.h"

namespace tarsil {

// The number of threads, at least 1: what setThreadCount gave, else
// TARSIL_THREADS when it is a positive number, else the processors present
// (at most a few: the work that is split is bound by memory, not by cores).
unsigned threadCount();
void setThreadCount(unsigned count);

// Work whose outcome and messages must be those of one thread going through
// it in order: fn(i, worker) for i from 0, side by side, each call's messages
// held (see Error::Hold) and given out in index order afterwards, up to the
// first call that returned false or met a fatal error, whose messages come
// last (a fatal one ends the process there, on the calling thread). Calls
// after that one may not be made. Returns its index, or n when every call
// succeeded. With one thread, or a debug channel on (whose lines must keep
// their order), the calls are made in order and print as they go.
size_t inOrderUntilFailure(size_t n, const std::function<bool(size_t index, unsigned worker)>& fn);

// Where the run of indices that this thread takes now ends, in work side
// by side: past it, another thread may be changing what the indices name,
// so asking ahead for memory stops there. SIZE_MAX outside such work.
size_t runEnd();

// Messages held by the index of the call that made them.
using HeldMessages = std::vector<std::pair<size_t, std::vector<Error::Message>>>;

// The same for a caller that decides afterwards whether the messages are to
// be given out at all: they are left in `held`, in index order, up to the
// first failed call, for Error::release. The calls are made side by side or,
// with one thread, in order; either way every message is held, debug
// channels or not.
size_t inOrderHolding(size_t n, const std::function<bool(size_t index, unsigned worker)>& fn, HeldMessages& held);

// One piece of work that shares nothing with what the caller does until
// join(). Side by side, it runs on a thread of its own, its messages held
// and given out at join(), where an exception it threw is thrown again.
// With one thread, or a debug channel on, it runs at once, on the caller's
// thread, so that everything happens in the order written. Left without
// join() (the caller gave up), it is waited for, and what it said or threw
// is dropped.
class Beside {
public:
  explicit Beside(const std::function<void()>& work);
  ~Beside();
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;

  // Whether it runs on a thread of its own.
  bool started() const { return cThread.joinable(); }
  void join();

private:
  std::thread cThread;
  std::vector<Error::Message> cHeld;
  std::exception_ptr cFailure;
};

}  // namespace tarsil
