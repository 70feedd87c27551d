#pragma once
// Writes the debug copies of upload bodies on a thread of its own, so that copying a photo and
// its movie into the log folder does not hold up the upload. Only the latest copy of each file
// matters: one still waiting is replaced by a newer one, and a copy that may be skipped is
// dropped while the previous copy of its file is still being written.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "upload/MultipartBody.h"

namespace vorn {

class HttpDebugCopyWriter {
  public:
    HttpDebugCopyWriter() = default;
    // Abandons the copies still waiting and stops the one under way (its temporary file is
    // removed; the previous copy stays).
    ~HttpDebugCopyWriter();
    HttpDebugCopyWriter(const HttpDebugCopyWriter&) = delete;
    HttpDebugCopyWriter& operator=(const HttpDebugCopyWriter&) = delete;

    // skippable: dropped when the copy of the same file is under way.
    void submit(std::string path, BodySnapshot snapshot, bool skippable = false);
    // Waits until every copy submitted so far has been written or has failed.
    void flush();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::string, BodySnapshot>> waiting_;
    bool busy_ = false;
    std::string writing_;  // the file of the copy under way
    bool skipNoted_ = false;
    bool stopping_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vorn
