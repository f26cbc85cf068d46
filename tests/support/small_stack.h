// Runs a function on a thread with a small stack, as hosts that start their
// worker threads with little stack do.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>

// Runs `work` on a new thread whose stack is `bytes` long and waits for it;
// an exception thrown by `work` is rethrown here. Sanitizer builds give the
// thread four times the stack, as their frames carry red zones.
inline void run_on_small_stack(size_t bytes, const std::function<void()>& work) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  bytes *= 4;
#endif
  struct job {
    const std::function<void()>* work;
    std::exception_ptr error;
  } j{&work, nullptr};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  pthread_t thread;
  auto body = [](void* argument) -> void* {
    auto* p = static_cast<job*>(argument);
    try {
      (*p->work)();
    } catch (...) {
      p->error = std::current_exception();
    }
    return nullptr;
  };
  if (pthread_create(&thread, &attributes, body, &j) != 0) std::terminate();
  pthread_attr_destroy(&attributes);
  pthread_join(thread, nullptr);
  if (j.error) std::rethrow_exception(j.error);
}
