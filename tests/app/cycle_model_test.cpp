// The cycle against random sequences of what a desk and a service do: photos and movies
// arriving (in new folders, under names the mirror already holds), the service answering from
// a table, pause, resume, Upload Now, a full disk, a restart. After every step the cycle is
// left to rest and the invariants are checked: no photo or movie lost or doubled, nothing
// outside the three folders touched, no upload while held, nothing the service took sent
// again; at the end, with the service well and the disk free, everything is filed. A failure
// prints the seed and the steps.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "support/OtherFileSystem.h"
#include "support/cycle/CycleFixture.h"
#include "upload/HttpController.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

enum class Answer { Accepted, Warning, Fail, Error, Unavailable, Reset, Hang };
const char* const kAnswerNames[] = {"accepted", "Warning", "FAIL", "ERROR", "503", "reset", "hang"};

Dictionary replyFor(Answer a) {
    auto status = [](const char* word, const char* message) {
        return Dictionary{
            {httpStatusCode, 200}, {httpOurCustomStatus, word}, {httpOurCustomMessage, message}};
    };
    const Dictionary replies[] = {
        status("OK", ""),
        status("Warning", "Bad e-mail"),
        status("FAIL", "Server busy"),
        status("ERROR", "Account locked"),
        {{httpStatusCode, 503}},
        {{httpError, makeErrorValue("Connection reset by peer")}},
        {{httpError, makeErrorValue(kUploadCancelledError)}},  // what the watchdog's cancel leaves
    };
    return replies[static_cast<int>(a)];
}

class CycleModelTest : public test::CycleFixture {
  public:
    CycleModelTest() : CycleFixture(RunLoop::Time::Virtual) {}

    // Runs one seeded sequence; false (with the steps) when an invariant broke.
    void run(std::uint32_t seed, int steps);

  protected:
    void step(std::mt19937& rng);
    void arrive(std::mt19937& rng);
    void checkInvariants();
    void drain();
    void answerUploads();
    std::string where(const std::string& content) const;

    std::map<std::string, std::string> arrived_;  // content -> relative path it arrived under
    std::set<std::string> taken_;                 // items the service accepted or set aside
    std::vector<std::string> log_;
    bool held_ = false;  // paused or stopped on ERROR, by what the model did
    bool diskFull_ = false;
    std::optional<test::SmallFileSystem> site_;
    int next_ = 0;
    std::mt19937* rng_ = nullptr;
    bool serviceWell_ = false;
};

void CycleModelTest::arrive(std::mt19937& rng) {
    const int folder = static_cast<int>(rng() % 4);
    const std::string rel = "client" + std::to_string(folder) + "/IMG_" + std::to_string(next_++);
    const std::string content = "photo " + rel;
    photo(rel + ".jpg", content);
    arrived_[content] = rel + ".jpg";
    std::string what = "arrive " + rel + ".jpg";
    if (rng() % 3 == 0) {
        photo(rel + ".mov", "movie " + rel);
        arrived_["movie " + rel] = rel + ".mov";
        what += " with movie";
    }
    if (rng() % 4 == 0) {  // an earlier sitting of the same name, filed long ago
        test::writeFile(mirror / (rel + ".jpg"), "earlier sitting");
        what += ", same-named in the mirror";
    }
    log_.push_back(what);
}

void CycleModelTest::step(std::mt19937& rng) {
    switch (rng() % 12) {
        case 0:
        case 1:
        case 2:
            arrive(rng);
            center.post(kWatcherItemChanged, nullptr, nullptr);
            break;
        case 3:
            log_.push_back("timer");
            loop.advance(std::chrono::milliseconds(500 + rng() % 3000));
            break;
        case 4:
            log_.push_back("pause");
            controller->forceProcessToPause();
            held_ = true;
            break;
        case 5:
            log_.push_back("resume");  // of a pause or a stop on ERROR alike
            held_ = false;
            controller->doHandlePauseResumeButtonAsResume();
            break;
        case 6:
            log_.push_back("upload now");
            held_ = false;
            controller->uploadNow();
            break;
        case 7:
            if (!site_ || !site_->available()) break;
            diskFull_ = !diskFull_;
            log_.push_back(diskFull_ ? "disk fills" : "disk empties");
            if (diskFull_)
                test::writeFile(tmp / "Site/filler", std::string(1000 * 1024, 'f'));
            else
                fs::remove(tmp / "Site/filler");
            break;
        case 8:
            log_.push_back("restart");
            TearDown();
            startController();
            answerUploads();
            held_ = false;
            controller->ibUserClickedOnSynchronize();
            break;
        default:
            log_.push_back("watcher event");
            center.post(kWatcherItemChanged, nullptr, nullptr);
            break;
    }
}

// Where a content lies now: "source", "mirror", "problem", "" (nowhere) or "twice".
std::string CycleModelTest::where(const std::string& content) const {
    std::string found;
    for (const auto& [name, folder] :
         {std::pair{"source", source}, {"mirror", mirror}, {"problem", problem}}) {
        if (!fs::exists(folder)) continue;
        for (const auto& e : fs::recursive_directory_iterator(folder))
            if (e.is_regular_file() && test::readFile(e.path()) == content)
                found = found.empty() ? name : "twice";
    }
    return found;
}

void CycleModelTest::checkInvariants() {
    for (const auto& [content, rel] : arrived_) {
        const std::string at = where(content);
        EXPECT_TRUE(at == "source" || at == "mirror" || at == "problem")
            << rel << " is " << (at.empty() ? "lost" : "in two places");
    }
    // Nothing outside the source, mirror and problem folders (and the program's own state).
    const std::set<std::string> ours = {"Upload", "Site", "state", "prefs.plist"};
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_TRUE(ours.count(e.path().filename().string())) << e.path();
    for (const auto& e : fs::directory_iterator(tmp / "Site")) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "Mirror" || name == "Problem Folder" || name == "filler" ||
                    name == "lost+found")
            << e.path();
    }
}

void CycleModelTest::drain() {
    log_.push_back("drain: the service well, the disk free, Upload Now");
    serviceWell_ = true;
    if (diskFull_) fs::remove(tmp / "Site/filler");
    diskFull_ = false;
    held_ = false;
    for (int round = 0; round < 20; ++round) {
        controller->uploadNow();
        ASSERT_TRUE(waitForRest());
        loop.advance(150s);  // past every retry wait
        ASSERT_TRUE(waitForRest());
    }
    for (const auto& [content, rel] : arrived_)
        EXPECT_NE(where(content), "source") << rel << " was never filed";
}

// The service: an answer drawn from the table for each upload, checked against the model.
void CycleModelTest::answerUploads() {
    uploader->onUpload([this](const Dictionary& item) -> std::optional<Dictionary> {
        const std::string rel = *stringForKey(item, cDictKeyCurItem);
        EXPECT_FALSE(held_) << rel << " went out while the cycle was held";
        EXPECT_EQ(taken_.count(rel), 0u) << rel << " was sent again after the service took it";
        const Answer a = serviceWell_ ? Answer::Accepted : static_cast<Answer>((*rng_)() % 7);
        log_.push_back(std::string("  ") + rel + " answered " + kAnswerNames[static_cast<int>(a)]);
        if (a == Answer::Accepted || a == Answer::Warning) taken_.insert(rel);
        if (a == Answer::Error) held_ = true;
        return replyFor(a);
    });
}

void CycleModelTest::run(std::uint32_t seed, int steps) {
    std::mt19937 rng(seed);
    rng_ = &rng;
    answerUploads();
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    for (int i = 0; i < steps && !HasFailure(); ++i) {
        step(rng);
        ASSERT_TRUE(waitForRest()) << "the cycle did not come to rest";
        checkInvariants();
    }
    if (!HasFailure()) drain();
}

TEST_F(CycleModelTest, RandomDesksAndServicesLoseNothingAndSendNothingTwice) {
    const int kSequences = 12, kSteps = 40;
    for (int n = 0; n < kSequences && !HasFailure(); ++n) {
        const std::uint32_t seed = 20261207u + static_cast<std::uint32_t>(n);
        reset();
        arrived_.clear();
        taken_.clear();
        log_.clear();
        held_ = diskFull_ = serviceWell_ = false;
        next_ = 0;
        site_.reset();
        site_.emplace(tmp / "Site", 1 << 20);  // mirror and problem folder on a small disk
        fs::create_directories(mirror);
        startController();
        run(seed, kSteps);
        if (HasFailure()) {
            std::string steps;
            for (const std::string& s : log_) steps += "\n  " + s;
            ADD_FAILURE() << "seed " << seed << ", steps:" << steps;
        }
        site_.reset();
    }
}

}  // namespace
}  // namespace vorn
