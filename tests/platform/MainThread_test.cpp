// The hand-over of a call from a worker thread to the main thread, and its cancellation.

#include "TestUtils.h"
#include "app/Application.h"
#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using MainThread::THandOver;

namespace {

using Clock = std::chrono::steady_clock;

bool PumpUntil(const std::atomic<bool>& done) {
    return TestUtils::PumpUntil([&] { return done.load(); });
}

// Gives a worker time to reach its wait inside Call.
void LetWorkerBlock() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace

TEST(MainThread, TheTestRunsInTheMainThread) {
    EXPECT_TRUE(MainThread::IsMainThread());
    bool inWorker = true;
    std::thread([&] { inWorker = MainThread::IsMainThread(); }).join();
    EXPECT_FALSE(inWorker);
}

TEST(HandOver, WorkerCallRunsInTheMainThreadAndWaitsForIt) {
    THandOver handOver;
    std::atomic<bool> ran{false}, ranInMain{false}, returned{false}, result{false};
    std::thread worker([&] {
        result = handOver.Call([&] {
            ranInMain = MainThread::IsMainThread();
            ran = true;
        });
        returned = true;
    });
    LetWorkerBlock();
    // Nothing runs until the main thread serves its events, and the worker waits meanwhile.
    EXPECT_FALSE(ran);
    EXPECT_FALSE(returned);
    EXPECT_TRUE(PumpUntil(returned));
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(ranInMain);
    EXPECT_TRUE(result);
}

TEST(HandOver, CallsInTurn) {
    THandOver handOver;
    std::atomic<int> count{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            if (handOver.Call([&] { ++count; }))
                continue;
        done = true;
    });
    EXPECT_TRUE(PumpUntil(done));
    worker.join();
    EXPECT_EQ(count, 100);
}

TEST(HandOver, FromTheMainThreadRunsAtOnce) {
    THandOver handOver;
    bool ran = false;
    EXPECT_TRUE(handOver.Call([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(HandOver, CancelReleasesAWaitingWorkerWithoutRunningTheCall) {
    THandOver handOver;
    std::atomic<bool> ran{false}, returned{false}, result{true};
    std::thread worker([&] {
        result = handOver.Call([&] { ran = true; });
        returned = true;
    });
    LetWorkerBlock();
    ASSERT_FALSE(returned);
    handOver.Cancel();
    worker.join(); // would hang if the worker were not released
    EXPECT_FALSE(result);
    // The queued call is still in the event queue: serving it must not run it.
    for (int i = 0; i < 10; ++i)
        MainThread::ProcessPendingEvents();
    EXPECT_FALSE(ran);
}

TEST(HandOver, AfterCancelCallsFailUntilReset) {
    THandOver handOver;
    handOver.Cancel();
    std::atomic<bool> ran{false}, result{true};
    std::thread([&] { result = handOver.Call([&] { ran = true; }); }).join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(ran);

    handOver.Reset();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        result = handOver.Call([&] { ran = true; });
        returned = true;
    });
    EXPECT_TRUE(PumpUntil(returned));
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(ran);
}

TEST(HandOver, ACancelledCallNeverRunsEvenAfterReset) {
    // The worker has gone on after its call was cancelled; running the call later would use
    // whatever it captured from the worker's stack.
    THandOver handOver;
    std::atomic<bool> ran{false}, result{true};
    std::thread worker([&] { result = handOver.Call([&] { ran = true; }); });
    LetWorkerBlock();
    handOver.Cancel();
    worker.join();
    EXPECT_FALSE(result);
    handOver.Reset();
    for (int i = 0; i < 10; ++i)
        MainThread::ProcessPendingEvents();
    EXPECT_FALSE(ran);
}

TEST(HandOver, DestroyingTheHandOverReleasesTheWorker) {
    std::atomic<bool> ran{false}, result{true};
    std::thread worker;
    {
        THandOver handOver;
        worker = std::thread([&] { result = handOver.Call([&] { ran = true; }); });
        LetWorkerBlock();
    }
    worker.join();
    EXPECT_FALSE(result);
    for (int i = 0; i < 10; ++i)
        MainThread::ProcessPendingEvents();
    EXPECT_FALSE(ran);
}

TEST(HandOver, AnExceptionInTheCallStillReleasesTheWorker) {
    THandOver handOver;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        handOver.Call([] { throw std::runtime_error("boom"); });
        returned = true;
    });
    LetWorkerBlock();
    // The application's exception hook receives it, as it does in the program.
    bool caught = false;
    Application::SetExceptionHandler([&](QObject*, const std::exception* e) {
        caught = e != nullptr && std::string(e->what()) == "boom";
    });
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!returned && Clock::now() < deadline) {
        MainThread::ProcessPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Application::SetExceptionHandler(nullptr);
    EXPECT_TRUE(caught);
    EXPECT_TRUE(returned);
    if (!returned)
        handOver.Cancel();
    worker.join();
}

TEST(HandOver, SeveralWorkersEachWaitForTheirOwnCall) {
    THandOver handOver;
    constexpr int kWorkers = 8, kCalls = 3000;
    std::atomic<int> early{0}, finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                auto ran = std::make_shared<std::atomic<bool>>(false);
                if (handOver.Call([ran] { *ran = true; }) && !*ran)
                    ++early;
            }
            ++finished;
        });
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (finished < kWorkers && Clock::now() < deadline)
        MainThread::ProcessPendingEvents();
    EXPECT_EQ(finished, kWorkers);
    if (finished < kWorkers)
        handOver.Cancel();
    for (auto& t : workers)
        t.join();
    EXPECT_EQ(early, 0) << "a worker was released before its own call had run";
}
