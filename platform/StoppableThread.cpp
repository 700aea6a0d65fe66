// Threads that can be told to stop, in standard C++ only: every
// implementation of the platform layer shares this file.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/Platform.h"

namespace varnex::platform {

struct StoppableThread::State {
  Routine routine;
  void* argument;
  std::mutex lock;
  std::condition_variable told;
  bool stop = false;
  std::thread thread;
};

namespace {

// The state of the thread that StoppableThread started on this thread;
// null on every other thread.
thread_local StoppableThread::State* t_state = nullptr;

}  // namespace

std::unique_ptr<StoppableThread> StoppableThread::Start(Routine routine, void* argument) {
  auto* state = new (std::nothrow) State{routine, argument, {}, {}, false, {}};
  if (state == nullptr) return nullptr;
  std::unique_ptr<StoppableThread> handle(new (std::nothrow) StoppableThread(state));
  if (!handle) {
    delete state;
    return nullptr;
  }
  try {
    state->thread = std::thread([state] {
      t_state = state;
      (void)state->routine(state->argument);
    });
  } catch (...) {  // no thread could be started
    handle->state_ = nullptr;
    delete state;
    return nullptr;
  }
  return handle;
}

StoppableThread::~StoppableThread() {
  if (state_ == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stop = true;
  }
  state_->told.notify_all();
  state_->thread.join();
  delete state_;
}

bool SleepUnlessStopped(uint32_t milliseconds) {
  const auto wait = std::chrono::milliseconds(milliseconds);
  StoppableThread::State* state = t_state;
  if (state == nullptr) {
    std::this_thread::sleep_for(wait);
    return true;
  }
  std::unique_lock<std::mutex> guard(state->lock);
  return !state->told.wait_for(guard, wait, [state] { return state->stop; });
}

}  // namespace varnex::platform
