#include "block_pipeline.h"

#include <pthread.h>

#include <csignal>
#include <system_error>
#include <utility>

namespace {

int thread_setting = 0;

// Below this a second thread costs more to start than it saves: the work is a few milliseconds.
constexpr std::uint64_t threaded_minimum_bytes = 4 << 20;

} // namespace

void threads_set(int n) { thread_setting = n; }

int threads_for(std::uint64_t bytes)
{
    if (thread_setting == 1 || thread_setting == 2)
        return thread_setting;
    return std::thread::hardware_concurrency() > 1 && bytes > threaded_minimum_bytes ? 2 : 1;
}

// ---- The queue ----

bool block_queue::push(data_block b)
{
    std::unique_lock lock(m_);
    changed_.wait(lock, [&] { return stopped_ || q_.size() < limit_; });
    if (stopped_)
        return false;
    q_.push_back(std::move(b));
    changed_.notify_all();
    return true;
}

std::optional<data_block> block_queue::pop()
{
    std::unique_lock lock(m_);
    changed_.wait(lock, [&] { return stopped_ || closed_ || !q_.empty(); });
    if (stopped_ || q_.empty())
        return std::nullopt;
    data_block b = std::move(q_.front());
    q_.pop_front();
    changed_.notify_all();
    return b;
}

void block_queue::close()
{
    const std::lock_guard lock(m_);
    closed_ = true;
    changed_.notify_all();
}

void block_queue::stop()
{
    const std::lock_guard lock(m_);
    stopped_ = true;
    changed_.notify_all();
}

// ---- The second thread ----

worker_thread::worker_thread(std::function<void()> work)
{
    // The new thread inherits the signal mask: the signals that remove unfinished files stay with the owner.
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    try {
        thread_ = std::thread([this, work = std::move(work)] {
            try {
                work();
            } catch (...) {
                error_ = std::current_exception();
            }
        });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

worker_thread::~worker_thread()
{
    if (thread_.joinable())
        thread_.join();
}

void worker_thread::join()
{
    if (thread_.joinable())
        thread_.join();
    if (error_)
        std::rethrow_exception(std::exchange(error_, nullptr));
}

// ---- The pipeline ----

block_pipeline::block_pipeline(int threads, std::size_t block_size, std::function<bool(data_block &)> consume,
                               std::size_t depth)
    : consume_(std::move(consume)), block_size_(block_size), depth_(depth), full_(depth), free_(depth)
{
    try {
        if (threads > 1)
            worker_ = std::make_unique<worker_thread>([this] { consume_all(); });
    } catch (const std::system_error &) {
        // No thread to be had (a process limit): the same work on this one.
    }
}

block_pipeline::~block_pipeline() { cancel(); }

void block_pipeline::consume_all()
{
    try {
        while (std::optional<data_block> b = full_.pop()) {
            if (!consume_(*b)) {
                failed_ = true;
                break;
            }
            // Only blocks with data go back to be filled again: there are never more than `depth` of them.
            if (b->data)
                free_.push(std::move(*b));
        }
    } catch (...) {
        // The producer must not wait for blocks that will never come back.
        full_.stop();
        free_.stop();
        throw;
    }
    if (failed_) {
        full_.stop();
        free_.stop();
    }
}

data_block block_pipeline::take()
{
    if (!worker_ && spare_.data)
        return std::move(spare_);
    if (made_ < depth_) {
        ++made_;
        data_block b;
        b.data = std::make_unique_for_overwrite<unsigned char[]>(block_size_);
        b.capacity = block_size_;
        return b;
    }
    std::optional<data_block> b = free_.pop();
    return b ? std::move(*b) : data_block{};
}

bool block_pipeline::give(data_block b)
{
    if (!worker_) {
        if (failed_ || !consume_(b)) {
            failed_ = true;
            return false;
        }
        // On one thread the block just consumed is the next one filled.
        if (b.data)
            spare_ = std::move(b);
        return true;
    }
    return full_.push(std::move(b));
}

bool block_pipeline::finish()
{
    if (worker_) {
        full_.close();
        worker_->join();
        worker_.reset();
    }
    return !failed_;
}

void block_pipeline::cancel() noexcept
{
    if (!worker_)
        return;
    full_.stop();
    free_.stop();
    try {
        worker_->join();
    } catch (...) {
        // The producer's fault ends the run and is the one reported.
    }
    worker_.reset();
}
