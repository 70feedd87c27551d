// Several photos on their way at once, through the real controller and uploader to the stand-in
// service: each photo goes once and is filed once, no more are open at the service than the
// setting allows, and a pause lets those in flight finish and be filed, then starts nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/PhotoServiceProcess.h"
#include "support/cycle/CycleFixture.h"
#include "upload/HttpController.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ParallelUploadTest : public test::CycleFixture {
  public:
    // The real uploader to a service that holds each reply back for `hold` seconds.
    void startService(double hold, int inFlight) {
        test::writeFile(tmp / "script.txt", "*.jpg always hang " + std::to_string(hold) + "\n");
        service = std::make_unique<test::PhotoServiceProcess>(tmp / "service", std::nullopt,
                                                              tmp / "script.txt");
        store->setObject(sPrefKivURL, service->url());
        store->setObject(sPrefConcurrentUploads, inFlight);
        uploader.reset();  // the scripted one
        HttpController::Options options;
        options.debugCopyFolder = (tmp / "copies").string();
        options.runsAfter = controller.get();
        http = std::make_unique<HttpController>(center, &loop, options);
    }
    void TearDown() override {
        CycleFixture::TearDown();
        http.reset();
    }
    // The most requests the service ever had open at once, and the photos it was sent.
    std::pair<int, std::vector<std::string>> served() const {
        int most = 0;
        std::vector<std::string> names;
        const std::regex open("\"open\":([0-9]+)"), file("\"filename\":\"([^\"]+)\"");
        for (const std::string& line : service->requestLog()) {
            std::smatch m;
            if (std::regex_search(line, m, open)) most = std::max(most, std::stoi(m[1]));
            if (std::regex_search(line, m, file)) names.push_back(m[1]);
        }
        std::sort(names.begin(), names.end());
        return {most, names};
    }

    std::unique_ptr<test::PhotoServiceProcess> service;
    std::unique_ptr<HttpController> http;
};

TEST_F(ParallelUploadTest, ThreeAtOnceSendEachPhotoOnceAndFileEachOnce) {
    startService(0.2, 3);
    std::vector<std::string> expected;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "IMG_" + std::to_string(1000 + i) + ".jpg";
        photo("client" + std::to_string(i % 4) + "/" + name, "\xFF\xD8 photo " + name);
        expected.push_back(name);
    }
    ASSERT_TRUE(synchronize());
    ASSERT_TRUE(loop.runUntil(
        [&] {
            waitForRest();
            return fs::is_empty(source / "client0") && fs::is_empty(source / "client3");
        },
        60s));
    const auto [most, names] = served();
    EXPECT_EQ(names, expected) << "each photo sent once";
    EXPECT_LE(most, 3);
    EXPECT_GE(most, 2) << "never more than one at a time";
    for (int i = 0; i < 30; ++i) {
        const std::string rel =
            "client" + std::to_string(i % 4) + "/IMG_" + std::to_string(1000 + i) + ".jpg";
        EXPECT_EQ(test::readFile(mirror / rel),
                  "\xFF\xD8 photo IMG_" + std::to_string(1000 + i) + ".jpg");
        EXPECT_FALSE(fs::exists(source / rel));
    }
}

TEST_F(ParallelUploadTest, APauseDuringThreeUploadsFilesAllThreeThenStartsNothing) {
    startService(0.5, 3);
    for (int i = 0; i < 6; ++i) photo("client/IMG_" + std::to_string(i) + ".jpg");
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(service->waitForRequests(3, 20s));  // three replies held back at the service
    controller->ibClickedOnHalt();
    EXPECT_EQ(served().first, 3) << "three were on their way at once";
    EXPECT_EQ(ui.last("button-disabled"), "Pause");  // pausing: the three go on
    ASSERT_TRUE(loop.runUntil([&] { return controller->flags().didHaltProcess(); }, 20s));
    ASSERT_TRUE(waitForRest());
    int filed = 0;
    for (const auto& e : fs::directory_iterator(mirror / "client")) filed += e.is_regular_file();
    EXPECT_EQ(filed, 3);
    EXPECT_EQ(service->requestLog().size(), 3u);
    EXPECT_EQ(ui.last("button"), "Resume");

    controller->ibClickedOnHalt();  // resume: the other three go
    ASSERT_TRUE(loop.runUntil(
        [&] {
            waitForRest();
            return fs::is_empty(source / "client");
        },
        20s));
    EXPECT_EQ(service->requestLog().size(), 6u);
}

}  // namespace
}  // namespace vorn
