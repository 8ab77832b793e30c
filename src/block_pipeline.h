// Long linear work on two cores: one thread reads, decodes or writes blocks of
// data, a second one hashes (or writes) them, through a small bounded queue in
// which each block changes hands instead of being copied. The second thread is
// optional: with one thread the same steps run in turn, so both ways stay
// tested. A fault of the second thread reaches the thread that owns the run as
// an exception_ptr and is rethrown there; the second thread never outlives it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

/// Sets how many threads long work may use, from --threads: 1 or 2; 0 lets the machine decide.
void threads_set(int n);
/// The threads for work over `bytes`: the --threads setting, or by default 2 when the machine has a
/// second core and the work is more than a few MiB (below that a thread costs more than it saves), else 1.
int threads_for(std::uint64_t bytes);

/// A block of data and its one owner, handed over from thread to thread, never copied.
struct data_block {
    std::unique_ptr<unsigned char[]> data; ///< null for a block that could not be had
    std::size_t capacity = 0;
    std::size_t size = 0; ///< bytes that hold data
    int tag = 0;          ///< what the data belongs to, for the consumer
};

/// A queue of at most `limit` blocks between two threads.
class block_queue {
public:
    explicit block_queue(std::size_t limit) : limit_(limit) {}
    /// Waits for room, then queues the block; false (and the block is dropped) once the queue is stopped.
    bool push(data_block b);
    /// Waits for the next block; nothing once the queue is closed and empty, or stopped.
    std::optional<data_block> pop();
    /// No more blocks will come: pop() drains what is queued.
    void close();
    /// Ends both sides at once: waiting pushes and pops return.
    void stop();

private:
    std::mutex m_;
    std::condition_variable changed_;
    std::deque<data_block> q_;
    std::size_t limit_;
    bool closed_ = false;
    bool stopped_ = false;
};

/// A second thread that runs `work` once. What it throws is kept and rethrown by join(). Destroying
/// it joins it. SIGINT, SIGTERM and SIGHUP are blocked in it, so that their handler runs on the owner.
class worker_thread {
public:
    explicit worker_thread(std::function<void()> work);
    worker_thread(const worker_thread &) = delete;
    worker_thread &operator=(const worker_thread &) = delete;
    ~worker_thread();
    /// Waits for the thread; rethrows what it threw (once).
    void join();

private:
    std::exception_ptr error_;
    std::thread thread_;
};

/// Blocks from a producer (the calling thread) to a consumer, which takes them in order on a second
/// thread when `threads` is 2, or at once on the calling thread when it is 1. At most `depth` blocks
/// of `block_size` bytes exist at once, whatever the length of the work.
class block_pipeline {
public:
    /// `consume` gets every block in order; false from it stops the pipeline.
    block_pipeline(int threads, std::size_t block_size, std::function<bool(data_block &)> consume,
                   std::size_t depth = 4);
    block_pipeline(const block_pipeline &) = delete;
    block_pipeline &operator=(const block_pipeline &) = delete;
    /// Stops the consumer and waits for it; what it threw is dropped (the producer's own fault is the one told).
    ~block_pipeline();

    /// An empty block to fill: one the consumer is done with, or a new one while fewer than `depth`
    /// exist. A block without data once the consumer has stopped.
    data_block take();
    /// Hands a filled block over; false once the consumer has stopped: produce no more.
    bool give(data_block b);
    /// No more blocks: waits until the consumer has had every one. true when it took all of them;
    /// false when it stopped; rethrows what it threw.
    bool finish();
    /// Ends the work early (the producer failed): the consumer stops without the blocks still queued.
    void cancel() noexcept;

private:
    void consume_all();

    std::function<bool(data_block &)> consume_;
    std::size_t block_size_;
    std::size_t depth_;
    std::size_t made_ = 0;
    block_queue full_;
    block_queue free_;
    data_block spare_; ///< on one thread: the block to fill next
    bool failed_ = false; ///< the consumer said false (written by it, read after it has ended)
    std::unique_ptr<worker_thread> worker_;
};
