#pragma once
// A plain scan for tests of the cycle: mirrors the source folders, takes the first file (in
// name order) that lies in a sub-folder and is not hidden or a movie, and builds its record.
// It can hold its first pass at a gate, so a test can send requests while a scan runs.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "upload/FolderScanner.h"

namespace vorn::test {

class FirstFileScanner : public FolderScanner {
  public:
    ScanOutcome chooseNextItem(const ScanInput& input) override;

    int passes() const { return passes_.load(); }
    // While the gate is closed, passes wait inside chooseNextItem.
    void closeGate() { setGate(true); }
    void openGate() { setGate(false); }
    bool waitingAtGate() const { return waiting_.load(); }

  private:
    void setGate(bool closed);
    std::atomic<int> passes_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool gateClosed_ = false;
    std::atomic<bool> waiting_{false};
};

}  // namespace vorn::test
