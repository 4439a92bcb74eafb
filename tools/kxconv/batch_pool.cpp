// kxconv's pool for batches (batch_pool.h).
#include "batch_pool.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

class Pool {
 public:
  Pool(std::size_t count, unsigned workers, const std::vector<bool>& skip,
       const std::function<BatchResult(std::size_t)>& produce)
      : count_(count), workers_(workers), skip_(skip), produce_(produce), results_(count), ready_(count, false) {}

  void Run(const std::function<void(std::size_t)>& begin, const std::function<void(std::size_t, BatchResult*)>& take) {
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < workers_; ++t) {
      try {
        threads.emplace_back(&Pool::Work, this);
      } catch (const std::system_error&) {
        break;  // the pictures no thread takes are the caller's
      }
    }
    for (std::size_t k = 0; k < count_; ++k) {
      begin(k);
      if (skip_[k] || threads.empty()) {
        take(k, nullptr);
      } else {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait(held, [&] { return ready_[k]; });
        BatchResult result = std::move(results_[k]);
        held.unlock();
        take(k, &result);
      }
      {
        const std::lock_guard<std::mutex> held(lock_);
        taken_ = k + 1;
      }
      changed_.notify_all();
    }
    {
      const std::lock_guard<std::mutex> held(lock_);
      next_ = count_;
    }
    changed_.notify_all();
    for (std::thread& t : threads) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::size_t k = 0;
      {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait(held, [&] { return next_ >= count_ || next_ < taken_ + 2 * std::size_t{workers_}; });
        while (next_ < count_ && skip_[next_]) ++next_;
        if (next_ >= count_) return;
        k = next_++;
      }
      BatchResult result = produce_(k);
      {
        const std::lock_guard<std::mutex> held(lock_);
        results_[k] = std::move(result);
        ready_[k] = true;
      }
      changed_.notify_all();
    }
  }

  const std::size_t count_;
  const unsigned workers_;
  const std::vector<bool>& skip_;
  const std::function<BatchResult(std::size_t)>& produce_;

  std::mutex lock_;  // guards what follows
  std::condition_variable changed_;
  std::vector<BatchResult> results_;
  std::vector<bool> ready_;
  std::size_t next_ = 0;   // the next picture a worker takes
  std::size_t taken_ = 0;  // pictures the caller has taken
};

}  // namespace

void RunBatch(std::size_t count, unsigned workers, const std::vector<bool>& skip,
              const std::function<BatchResult(std::size_t)>& produce, const std::function<void(std::size_t)>& begin,
              const std::function<void(std::size_t, BatchResult*)>& take) {
  Pool(count, workers, skip, produce).Run(begin, take);
}
