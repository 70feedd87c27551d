// Settings refused or flagged where they are typed: values against their rule, folders that
// overlap (however they are written), a folder not there yet, and the factory's event name or
// account aimed at a real service.

#include <gtest/gtest.h>

#include <filesystem>

#include "SettingsFixture.h"
#include "settings/FolderRules.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferenceRules.h"
#include "support/ScopedEnv.h"

using namespace vorn;
using vorn::test::SettingsTest;

namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& line : lines) all += line + "\n";
    return all;
}

}  // namespace

TEST_F(SettingsTest,
       AValueThatWouldStopTheUploaderIsRefusedAndAFolderNotThereYetIsKeptWithAWarning) {
    const fs::path tmp = dir.path();
    for (const char* folder : {"Upload", "Mirror", "Up", "Site/Mirror", "Problem Folder/in", "M"})
        fs::create_directories(tmp / folder);
    fs::create_symlink(tmp / "Upload", tmp / "link");
    test::writeFile(tmp / "a-file", "x");
    test::ScopedEnv home("HOME", tmp.string());
    struct Row {
        const char* what;
        const char* key;
        std::string value;
        std::string storedSource, storedMirror;
        std::string refused;  // part of the error; empty: stored
        std::string warned;   // part of the one warning; empty: none
    };
    const std::string upload = (tmp / "Upload").string(), mirror = (tmp / "Mirror").string();
    const char* source = sPrefLocalSourceUploadFolder;
    const char* mirrorKey = sPrefLocalMasterMirrorSiteFolder;
    const std::vector<Row> rows = {
        {"apart", source, upload, "", mirror, "", ""},
        {"a name that only begins like the other", source, (tmp / "Up").string(), "", upload, "",
         ""},
        {"the same", source, mirror, "", mirror, "are the same", ""},
        {"source inside mirror", source, mirror + "/in", "", mirror,
         "lies inside the mirror folder", ""},
        {"mirror inside source", mirrorKey, upload + "/Mirror", upload, "",
         "lies inside the source folder", ""},
        {"the same through a link", mirrorKey, (tmp / "link").string(), upload, "", "are the same",
         ""},
        {"through a tilde and dot-dot", source, "~/Site/../Mirror/x", "", mirror,
         "lies inside the mirror folder", ""},
        {"source inside the problem folder", source, (tmp / "Problem Folder/in").string(), "",
         (tmp / "M").string(), "lies inside the problem folder", ""},
        {"a mirror whose problem folder is the source", mirrorKey, (tmp / "Mirror").string(),
         (tmp / "Problem Folder").string(), "", "and the problem folder", ""},
        {"a typo: kept, with a warning", source, (tmp / "Uplaod").string(), "", mirror, "",
         "Uplaod does not exist"},
        {"not there yet and inside the mirror", source, mirror + "/later", "", mirror,
         "lies inside the mirror folder", ""},
        {"a file", mirrorKey, (tmp / "a-file").string(), upload, "", "is not a folder", ""},
        {"the alternate folder is looked for, not overlapped", sPrefKivHiResAlternatePath1, upload,
         upload, mirror, "", ""},
        {"the alternate folder not there", sPrefKivHiResAlternatePath1, "/no/such/folder", "", "",
         "", "/no/such/folder does not exist"},
        {"the rule comes first", source, "relative/path", "", "", "absolute or beginning", ""},
        // Each kind of value has its rule.
        {"seconds", sPrefSecondsBetweenScans, "0", "", "", "a number of seconds above 0", ""},
        {"an address", sPrefKivURL, "ftp://host/x", "", "", "http:// or https://", ""},
        {"days of logs", sPrefDaysToSaveLogs, "2", "", "", "from 3 to 90", ""},
        {"yes or no", sPrefAutoSynchronize, "perhaps", "", "", "yes or no", ""},
        {"a log level", sPrefLogLevel, "loud", "", "", "error, warn, info or debug", ""},
        {"no such key", "noSuchKey", "1", "", "", "no such setting", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        store->setObject(sPrefLocalSourceUploadFolder, row.storedSource);
        store->setObject(sPrefLocalMasterMirrorSiteFolder, row.storedMirror);
        const PreferenceChange change = checkPreferenceChange(*store, row.key, row.value);
        if (row.refused.empty()) {
            ASSERT_TRUE(change.value) << change.error;
            EXPECT_EQ(*change.value, Value(row.value)) << "stored as typed";
        } else {
            EXPECT_FALSE(change.value);
            EXPECT_TRUE(contains(change.error, row.key) && contains(change.error, row.refused))
                << change.error;
        }
        EXPECT_EQ(change.warnings.size(), row.warned.empty() ? 0u : 1u) << joined(change.warnings);
        if (!row.warned.empty()) {
            EXPECT_TRUE(contains(joined(change.warnings), row.warned));
        }
    }

    // The whole check names an overlap with the problem folder too.
    store->setObject(sPrefLocalSourceUploadFolder, (tmp / "Problem Folder/in").string());
    store->setObject(sPrefLocalMasterMirrorSiteFolder, (tmp / "M").string());
    EXPECT_TRUE(contains(joined(checkPreferences(*store)), "lies inside the problem folder"))
        << joined(checkPreferences(*store));

    // The same paths asked again after a link in them was pointed elsewhere, or a folder made
    // where there was none: the answer follows.
    const fs::path hop = tmp / "hop";
    struct Step {
        const char* what;
        fs::path linkTarget;  // hop leads here
        std::string mirror;
        bool overlaps;
    };
    const Step steps[] = {
        {"apart", tmp / "Mirror", hop.string(), false},
        {"the link now leads to the source", tmp / "Upload", hop.string(), true},
        {"and back", tmp / "Mirror", hop.string(), false},
        {"not there yet, below the link", tmp / "Mirror", (hop / "Upload/sub").string(), false},
        {"still not there, but the link leads above the source", tmp, (hop / "Upload/sub").string(),
         true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        fs::remove(hop);
        fs::create_directory_symlink(step.linkTarget, hop);
        EXPECT_EQ(folderOverlap(upload, step.mirror, "").has_value(), step.overlaps);
    }
}

TEST_F(SettingsTest, TheFactoryEventNameOrAccountIsFlaggedOnlyForARealService) {
    store->registerDefaults({{sUserEnteredEventName, Value("Demo Event")},
                             {sUserLoginName, Value("vorn-test")},
                             {sPrefKivURL, Value("http://127.0.0.1:8686/vorn")}});
    struct Row {
        const char* url;  // nullptr: the factory's
        const char* event;
        const char* login;  // nullptr: the factory's
        std::vector<const char*> warned;
    };
    const Row rows[] = {
        {nullptr, nullptr, nullptr, {}},
        {"http://127.0.0.1:40123/vorn", nullptr, nullptr, {}},
        {"http://localhost:8686/vorn", nullptr, nullptr, {}},
        {"http://[::1]:8686/vorn", nullptr, nullptr, {}},
        {"http://demo:pw@127.0.0.2/vorn", nullptr, nullptr, {}},
        {"https://photos.example.com/vorn",
         nullptr,
         nullptr,
         {"userEnteredEventName: still the factory default \"Demo Event\"",
          "userLoginName: still the factory default \"vorn-test\""}},
        {"https://127.0.0.1.example.com/vorn", "Prom", nullptr, {"userLoginName"}},
        {"https://photos.example.com/vorn", "Demo Event", "studio-7", {"userEnteredEventName"}},
        {"https://photos.example.com/vorn", "Prom", "studio-7", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.url ? row.url : "factory") + " " +
                     (row.event ? row.event : "-") + " " + (row.login ? row.login : "-"));
        store->setObject(sPrefKivURL, row.url ? Value(row.url) : Value());
        store->setObject(sUserEnteredEventName, row.event ? Value(row.event) : Value());
        store->setObject(sUserLoginName, row.login ? Value(row.login) : Value());
        const auto warnings = preferenceWarnings(*store);
        ASSERT_EQ(warnings.size(), row.warned.size()) << joined(warnings);
        for (std::size_t i = 0; i < warnings.size(); ++i)
            EXPECT_TRUE(contains(warnings[i], row.warned[i])) << warnings[i];
    }
}
