// The stand-in service's command line and its script, over loopback. Everything else it does is
// exercised end to end by the upload and order tests.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Sha256.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"

namespace vorn::test {
namespace {

std::size_t collect(char* data, std::size_t size, std::size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

// Posts a photo form through libcurl's own encoder; the reply body.
std::string postPhoto(const std::string& url, const std::string& file, const std::string& bytes) {
    CURL* curl = curl_easy_init();
    curl_mime* form = curl_mime_init(curl);
    auto field = [&](const char* name, const std::string& value) {
        curl_mimepart* part = curl_mime_addpart(form);
        curl_mime_name(part, name);
        curl_mime_data(part, value.data(), value.size());
        return part;
    };
    for (const char* name :
         {"username", "password", "event", "client", "capturetime", "fuseaction"})
        field(name, "bob");
    curl_mimepart* photo = field("imgfile", bytes);
    curl_mime_filename(photo, file.c_str());
    curl_mime_type(photo, "image/jpeg");
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
    curl_mime_free(form);
    curl_easy_cleanup(curl);
    return body;
}

TEST(PhotoService, ScriptedVerdictThenStoredByteIdenticalAndLogged) {
    TempDir tmp;
    writeFile(tmp / "script.txt", "# file count verdict\na.jpg 1 fail\n");
    PhotoServiceProcess service(tmp / "data", std::nullopt, tmp / "script.txt");
    const std::string photo("\xff\xd8 photo \r\n--0xKhTmLbOuNdArY\r\n bytes", 36);

    const std::string failed = postPhoto(service.url(), "a.jpg", photo);
    EXPECT_NE(failed.find(">FAIL<"), std::string::npos) << failed;
    const std::string accepted = postPhoto(service.url(), "a.jpg", photo);
    EXPECT_NE(accepted.find(">OK<"), std::string::npos) << accepted;
    EXPECT_EQ(readFile(tmp / "data/bob/bob/a.jpg"), photo);
    auto log = service.requestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find(photoservice::Sha256::hex(photo)), std::string::npos) << log[1];
    EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace vorn::test
