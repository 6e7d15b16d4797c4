// Library threads in the media platform's multithreaded apartment.
//
// The host's threads may be in a single-threaded apartment (a UI thread), in
// the multithreaded one or in none, and the library never changes that.
// FFmpeg's Media Foundation encoder joins the apartment of the thread that
// opens it, refuses a single-threaded one, and gives the apartment and Media
// Foundation back (CoUninitialize, MFShutdown) on the thread that frees it.
// So every COM call, encoder probe, open and free runs on a library thread
// that holds an apartment membership of its own.
#pragma once

#include <future>
#include <thread>
#include <type_traits>
#include <utility>

namespace ostrel {

// Joins the calling thread to the multithreaded apartment for its lifetime
// (CoInitializeEx ... CoUninitialize); a join that failed is not given back.
class ApartmentMembership {
 public:
  ApartmentMembership();
  ~ApartmentMembership();
  ApartmentMembership(const ApartmentMembership&) = delete;
  ApartmentMembership& operator=(const ApartmentMembership&) = delete;
  bool joined() const { return joined_; }

 private:
  bool joined_;
};

// Runs `task` on a fresh library thread that is in the apartment while the
// task runs, waits for it and returns its result; what the task throws is
// rethrown here, and so is a thread that cannot be created
// (std::system_error).
template <typename Task>
std::invoke_result_t<Task&> RunOnLibraryThread(Task&& task) {
  using Result = std::invoke_result_t<Task&>;
  std::packaged_task<Result()> packaged([&task]() -> Result {
    ApartmentMembership apartment;
    return task();
  });
  std::future<Result> result = packaged.get_future();
  std::thread(std::move(packaged)).join();
  return result.get();
}

}  // namespace ostrel
