// The spin lock and the thread identity. select() is replaced in this test
// program to observe the lock's sleeps: waits below 1000 must spin, later
// ones must sleep through select() with no descriptors and a 1 ms time-out.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/select.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "vexlin_util.h"

namespace {

struct SelectCall {
    int nfds;
    bool no_sets;
    long seconds;
    long microseconds;
};

std::atomic<int> g_select_calls{0};
// Per thread: several waiters may sleep at once.
thread_local SelectCall g_last_select = {-1, false, -1, -1};

}  // namespace

extern "C" int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) {
    g_last_select = {nfds, readfds == nullptr && writefds == nullptr && exceptfds == nullptr,
                     timeout != nullptr ? static_cast<long>(timeout->tv_sec) : -1,
                     timeout != nullptr ? static_cast<long>(timeout->tv_usec) : -1};
    ++g_select_calls;
    if (timeout != nullptr) {
        const struct timespec pause = {timeout->tv_sec, static_cast<long>(timeout->tv_usec) * 1000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

namespace {

TEST(SpinLock, ZeroFilledIsFreeAndLockingSetsTheWord) {
    vexlin_spinlock_t lock = {0};
    vexlin_spinlock_lock(&lock);
    EXPECT_EQ(lock.locked, 1);
    vexlin_spinlock_unlock(&lock);
    EXPECT_EQ(lock.locked, 0);
    vexlin_spinlock_unlock(&lock);
    EXPECT_EQ(lock.locked, 0) << "unlocking a free lock leaves it free";
    vexlin_spinlock_lock(&lock);
    EXPECT_EQ(lock.locked, 1);
    vexlin_spinlock_unlock(&lock);
    EXPECT_EQ(g_select_calls, 0) << "an uncontended lock never sleeps";
}

TEST(SpinLock, AnotherThreadMayUnlock) {
    vexlin_spinlock_t lock = {0};
    std::thread locker([&] { vexlin_spinlock_lock(&lock); });
    locker.join();
    EXPECT_EQ(lock.locked, 1);
    std::thread unlocker([&] { vexlin_spinlock_unlock(&lock); });
    unlocker.join();
    EXPECT_EQ(lock.locked, 0);
    vexlin_spinlock_lock(&lock);  // would wait forever if still held
    EXPECT_EQ(lock.locked, 1);
    vexlin_spinlock_unlock(&lock);
}

TEST(SpinLock, NoUpdateIsLostUnderContention) {
    constexpr int kThreads = 4;
    constexpr int kIterations = 100000;
    vexlin_spinlock_t lock = {0};
    long counter = 0;  // deliberately plain: only the lock orders the updates
    int holders = 0;
    std::atomic<int> overlaps{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kIterations; ++i) {
                vexlin_spinlock_lock(&lock);
                if (++holders != 1) ++overlaps;
                // A read-modify-write with a gap, so that a broken lock loses updates.
                const long seen = counter;
                for (volatile int pause = 0; pause < 16; pause = pause + 1) {
                }
                counter = seen + 1;
                --holders;
                vexlin_spinlock_unlock(&lock);
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kIterations);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(lock.locked, 0);
}

// Each holder writes a record of several plain words; the next holder must
// see the whole record its predecessor wrote, never a mix.
TEST(SpinLock, WritesAreVisibleToTheNextHolder) {
    constexpr int kThreads = 3;
    constexpr int kIterations = 50000;
    vexlin_spinlock_t lock = {0};
    struct {
        std::uint64_t sequence;
        std::uint64_t words[6];
    } shared = {0, {0, 0, 0, 0, 0, 0}};
    std::atomic<int> torn{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kIterations; ++i) {
                vexlin_spinlock_lock(&lock);
                for (std::uint64_t w : shared.words) {
                    if (w != shared.sequence * 0x9E3779B97F4A7C15ull) ++torn;
                }
                ++shared.sequence;
                for (std::uint64_t& w : shared.words) w = shared.sequence * 0x9E3779B97F4A7C15ull;
                vexlin_spinlock_unlock(&lock);
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(shared.sequence, static_cast<std::uint64_t>(kThreads) * kIterations);
}

TEST(SpinLock, WaitsSpinFirstThenSleepBriefly) {
    const int before = g_select_calls;
    for (vexlin_size_t k = 0; k < 1000; ++k) vexlin_spin_yield(k);
    EXPECT_EQ(g_select_calls, before) << "the first 1000 waits only spin";

    vexlin_spin_yield(1000);
    EXPECT_EQ(g_select_calls, before + 1);
    EXPECT_EQ(g_last_select.nfds, 0);
    EXPECT_TRUE(g_last_select.no_sets);
    EXPECT_EQ(g_last_select.seconds, 0);
    EXPECT_EQ(g_last_select.microseconds, 1000);

    vexlin_spin_yield(123456);
    EXPECT_EQ(g_select_calls, before + 2);
}

// A waiter behind a long holder falls back to sleeping, and still gets the
// lock once it is released.
TEST(SpinLock, BlockedWaiterSleepsAndThenAcquires) {
    vexlin_spinlock_t lock = {0};
    vexlin_spinlock_lock(&lock);
    const int before = g_select_calls;
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        vexlin_spinlock_lock(&lock);
        acquired = true;
        vexlin_spinlock_unlock(&lock);
    });
    while (g_select_calls < before + 3) std::this_thread::yield();
    EXPECT_FALSE(acquired);
    vexlin_spinlock_unlock(&lock);
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(lock.locked, 0);
}

TEST(ThreadIdentity, StablePerThreadDistinctAcrossLiveThreads) {
    const vexlin_uint64_t mine = vexlin_get_current_thread_id();
    EXPECT_EQ(vexlin_get_current_thread_id(), mine);
    EXPECT_EQ(mine, static_cast<vexlin_uint64_t>(pthread_self()));

    constexpr int kThreads = 8;
    std::vector<vexlin_uint64_t> ids(kThreads);
    std::atomic<int> arrived{0};
    std::atomic<bool> release{false};
    std::atomic<int> unstable{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = vexlin_get_current_thread_id();
            ++arrived;
            // All threads stay alive until every id has been taken.
            while (!release) std::this_thread::yield();
            if (vexlin_get_current_thread_id() != ids[t]) ++unstable;
        });
    }
    while (arrived < kThreads) std::this_thread::yield();
    release = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(unstable, 0);
    std::set<vexlin_uint64_t> distinct(ids.begin(), ids.end());
    distinct.insert(mine);
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads + 1));
}

}  // namespace
