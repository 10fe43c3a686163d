// Telling several independent parties of one event, so that one that raises
// does not keep the others from hearing of it: each call runs through Run,
// which keeps the first exception and swallows the rest; once every party
// has been told, RethrowIfAny raises the first one, so that the caller still
// sees the failure, with every state change made.
//
// Thread rules: one object per walk, used by one thread.
#pragma once

#include <exception>
#include <utility>

class FirstFailure {
 public:
  // Runs call(); an exception it raises is kept (the first) or dropped.
  template <class Call>
  void Run(Call&& call) noexcept {
    try {
      std::forward<Call>(call)();
    } catch (...) {
      // current_exception may itself fail to allocate; it then gives an
      // exception_ptr to std::bad_exception, which still says it failed.
      if (!m_first) m_first = std::current_exception();
      ++m_count;
    }
  }

  // How many calls raised.
  unsigned Count() const noexcept { return m_count; }

  // Raises the first exception kept, if any.
  void RethrowIfAny() const {
    if (m_first) std::rethrow_exception(m_first);
  }

 private:
  std::exception_ptr m_first;
  unsigned m_count = 0;
};
