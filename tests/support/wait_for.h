// Bounded waiting for tests: polls a condition until it holds or a time limit passes,
// so that a test waiting for something that never comes fails in seconds. The
// system's steady clock is used, so that nothing depends on the library being started.
// And a job that holds its worker for as long as a test needs.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "lumo/base_types.h"
#include "lumo/dispatcher.h"
#include "lumo/thread.h"

// Polls `done` every few milliseconds for at most `ms`; its last answer.
template <class F>
bool WaitFor(F done, uint32 ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs until the gate lets it through.
class GateJob : public CL_Job {
public:
    explicit GateJob(CL_Semaphore* gate) : fGate(gate) {}
    CL_Status Run() override {
        fStarted = true;
        fGate->Acquire(1);
        return 0;
    }
    std::atomic<bool> fStarted{false};

private:
    CL_Semaphore* fGate;
};
