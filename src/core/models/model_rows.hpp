// Shared by the evaluators: rows in blocks, blocks spread over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace brinvale::core::detail {

// Rows per block: one block of the transformed input stays in cache while
// every tree walks it.
constexpr std::size_t kRowBlock = 64;

// Calls work(begin, end) on consecutive ranges of whole blocks covering
// [0, n_rows), on up to `threads` threads (enough rows per thread to pay for
// starting it).  Each range is written by one thread only, so the result does
// not depend on the number of threads.  The first exception a range throws
// is rethrown here once every thread has ended.
template <typename Work>
void for_row_ranges(std::size_t n_rows, unsigned threads, Work &&work) {
    constexpr std::size_t per_thread = 20000;
    const unsigned n_threads =
        std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(std::min<std::size_t>(
                                                     n_rows / per_thread + 1, 64))));
    if (n_threads == 1) {
        work(std::size_t{0}, n_rows);
        return;
    }
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const std::size_t blocks = (n_rows + kRowBlock - 1) / kRowBlock;
    const std::size_t per = (blocks + n_threads - 1) / n_threads * kRowBlock;
    std::vector<std::thread> pool;
    pool.reserve(n_threads);
    for (unsigned t = 0; t < n_threads; ++t) {
        const std::size_t b = std::min(n_rows, t * per);
        const std::size_t e = std::min(n_rows, b + per);
        pool.emplace_back([&, b, e] {
            try {
                work(b, e);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) {
                    failure = std::current_exception();
                }
            }
        });
    }
    for (auto &th : pool) {
        th.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace brinvale::core::detail
