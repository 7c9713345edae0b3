// Per-thread error state shared by the workers and the exported frame.
//
// A worker whose precondition fails raises a value error (with a message) or, for a
// failed internal consistency check, an internal fault; it then returns at once. A worker
// that calls another tests `errorPending()` afterwards and returns at once if it is set.
// Only the exported frame clears the state.
#pragma once

namespace sela {

enum class ErrorKind { None, ValueError, InternalFault };

struct ErrorState {
  ErrorKind kind;
  const char* message;  // static text, or null
};

// One word-sized state per thread; no locks, nothing shared between threads.
// __thread: constant-initialised, so no per-access initialisation wrapper.
extern __thread ErrorState threadError;

inline bool errorPending() { return threadError.kind != ErrorKind::None; }
inline void raiseValueError(const char* message) { threadError = {ErrorKind::ValueError, message}; }
inline void raiseInternalFault(const char* message) { threadError = {ErrorKind::InternalFault, message}; }
inline void clearError() { threadError = {ErrorKind::None, nullptr}; }

}  // namespace sela
