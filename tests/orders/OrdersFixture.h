#pragma once
// Shared set-up of the order tests: a preferences store in a temporary folder pointing at the
// real stand-in service, and readers of the service's request log.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Json.h"
#include "settings/PreferenceKeys.h"
#include "settings/SettingsFixture.h"
#include "support/PhotoServiceProcess.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn::test {

using photoservice::JsonValue;

// One request as the service logged it: its fields in one line (name=value, a file as
// name=filename type) and where the service stored the file it carried.
struct LoggedRequest {
    std::string fields;
    std::filesystem::path file;
};

// A real photo at path (orders send nothing else): a PNG for a .png name, else a JPEG whose
// comment makes its bytes its own.
inline std::filesystem::path writeImage(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".png") {
        capture::writePhoto(path.string(), capture::makePng({}));
    } else {
        capture::writePhoto(path.string(),
                            capture::makeJpeg({.userComment = path.filename().string()}));
    }
    return path;
}

class OrdersTest : public SettingsTest {
  protected:
    void SetUp() override {
        SettingsTest::SetUp();
        store->setObject(sUserLoginName, "photog");
        store->setObject(sUserLoginPassword, "pw \"one\"");
        store->setObject(sPrefCheckHiResOrderFuseAction, "order.query");
        store->setObject(sPrefUploadHiResOrderFuseAction, "order.upload");
        store->setObject(sPrefSearchPathMethodTag, 1);
        store->setObject(sPrefDoCheckOrders, true);
    }

    // Starts the service answering queries from ordersJson.
    void startService(const std::string& ordersJson,
                      std::optional<std::string> script = std::nullopt) {
        writeFile(dir / "orders.json", ordersJson);
        std::optional<std::filesystem::path> scriptFile;
        if (script) {
            scriptFile = dir / "script.txt";
            writeFile(*scriptFile, *script);
        }
        service.reset();
        std::filesystem::remove_all(dir / "service");
        service.emplace(dir / "service", dir / "orders.json", scriptFile);
        store->setObject(sPrefKivURL, service->url());
    }

    // The requests of one kind ("order-query", "hires") in the order the service took them.
    std::vector<LoggedRequest> requestsOfKind(const std::string& kind) const {
        auto text = [](const JsonValue& object, const char* name) {
            const JsonValue* v = object.find(name);
            return v && v->isString() ? v->string : std::string();
        };
        std::vector<LoggedRequest> out;
        for (const std::string& line : service->requestLog()) {
            auto v = photoservice::parseJson(line);
            EXPECT_TRUE(v) << line;
            if (!v || text(*v, "kind") != kind) continue;
            LoggedRequest& r = out.emplace_back();
            if (const JsonValue* parts = v->find("parts"))
                for (const JsonValue& p : parts->array) {
                    const std::string file = text(p, "filename");
                    r.fields +=
                        (r.fields.empty() ? "" : " ") + text(p, "name") + "=" +
                        (file.empty() ? text(p, "value") : file + " " + text(p, "content_type"));
                    if (!file.empty()) r.file = dir / "service" / text(p, "stored");
                }
        }
        return out;
    }

    std::optional<PhotoServiceProcess> service;
};

}  // namespace vorn::test
