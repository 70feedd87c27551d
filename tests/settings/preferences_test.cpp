#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "SettingsFixture.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

using namespace vorn;
using vorn::test::SettingsTest;

namespace {

struct Layers {
    Value registered;  // None: not registered
    Value stored;      // None: not stored
};

void apply(PreferencesStore& s, const std::string& key, const Layers& l) {
    if (!l.registered.isNone()) s.registerDefaults({{key, l.registered}});
    if (!l.stored.isNone()) s.setObject(key, l.stored);
}

}  // namespace

// Write-back booleans store false when nothing answers; plain ones store nothing.
TEST_F(SettingsTest, BooleansReadTheirLayersAndOnlyWriteBackOnesStoreFalse) {
    struct Accessor {
        const char* key;
        bool (*read)();
        bool writesBack;
    } accessors[] = {
        {sPrefDeleteEmptyFtpFolders, &Preferences::getPrefDeleteEmptyFtpFolders, true},
        {sPrefAutoSynchronize, &Preferences::getDoAutoSynchronize, true},
        {sPrefDoUseDeleteOldPhotos, &Preferences::getPrefUseDoDeleteOldPhotos, true},
        {sPrefShowWindowAtStartup, &Preferences::getPrefShowWindowAtStartup, true},
        {sPrefAutoStartUploadAtStartup, &Preferences::getAutoStartUploadAtStartup, true},
        {sPrefShowPreviewWhenUploading, &Preferences::getPrefShowPreviewWhenUploading, false},
        {sPrefDoCheckOrders, &Preferences::getPrefDoCheckOrders, false},
        {sPrefAllowRootVolumeSelections, &Preferences::getPrefAllowRootVolumeSelections, false},
        {sPrefFormBaseIdFromFileName, &Preferences::getPrefFormBaseIdFromFileName, false},
    };
    struct Case {
        const char* name;
        Layers layers;
        bool expected;
        Value storedAfter;  // by a write-back boolean; None: still nothing stored
    } cases[] = {
        {"nothing anywhere", {}, false, Value(false)},
        {"registered true", {Value(true), {}}, true, Value()},
        {"stored Yes", {{}, Value("Yes")}, true, Value("Yes")},
        {"stored no over registered true", {Value(true), Value("no")}, false, Value("no")},
    };
    for (const auto& a : accessors) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(a.key) + ": " + c.name);
            auto s = std::make_shared<PreferencesStore>((dir / "unused.plist").string());
            Preferences::setStore(s);
            apply(*s, a.key, c.layers);
            const Value storedAfter = a.writesBack ? c.storedAfter : c.layers.stored;
            EXPECT_EQ(a.read(), c.expected);
            EXPECT_EQ(s->hasStoredValue(a.key), !storedAfter.isNone());
            EXPECT_EQ(s->storedValues()[a.key], storedAfter);
            EXPECT_EQ(a.read(), c.expected) << "second read";
        }
    }
    store->setObject(sPrefUseEventName, "no");
    Preferences::setStore(store);
    EXPECT_TRUE(Preferences::getUseEventName());
}

TEST_F(SettingsTest, DaysToSaveLogsIsClampedAndTheCorrectionStored) {
    const std::tuple<Layers, int, Value> cases[] = {
        {{}, 14, Value(14)},
        {{{}, Value(0)}, 14, Value(14)},
        {{{}, Value(2)}, 3, Value(3)},
        {{{}, Value(3)}, 3, Value(3)},
        {{{}, Value(90)}, 90, Value(90)},
        {{{}, Value(91)}, 90, Value(90)},
        {{Value(14), {}}, 14, Value()},  // the factory value stands and is not copied
    };
    for (const auto& [layers, expected, storedAfter] : cases) {
        SCOPED_TRACE(layers.registered.description() + " / " + layers.stored.description());
        auto s = std::make_shared<PreferencesStore>((dir / "unused.plist").string());
        Preferences::setStore(s);
        apply(*s, sPrefDaysToSaveLogs, layers);
        EXPECT_EQ(Preferences::getDaysToSaveLogs(), expected);
        EXPECT_EQ(s->storedValues()[sPrefDaysToSaveLogs], storedAfter);
    }
}

// Stored values are set one after another on the shared store (None removes).
TEST_F(SettingsTest, UploadTimeOutFallsBackTo500) {
    const std::pair<Value, float> cases[] = {
        {Value(), 500.0f},
        {Value(0), 500.0f},
        {Value(0.5), 0.5f},
        {Value("abc"), 500.0f},
        {Value(1e-60), 500.0f},
        {Value(HUGE_VAL), 86400.0f},
        {Value(std::nan("")), 500.0f},
    };
    for (const auto& [stored, expected] : cases) {
        store->setObject(sPrefUploadTimeOut, stored);
        EXPECT_EQ(Preferences::getUploadTimeOut(), expected) << stored.description();
    }
}

TEST_F(SettingsTest, SearchPathMethodTagSelectsTheSearches) {
    const std::tuple<Value, std::int16_t, bool, bool> cases[] = {
        {Value(), 0, false, false},        {Value(1), 1, true, false},
        {Value(2), 2, false, true},        {Value(3), 3, true, true},
        {Value(65536 + 3), 3, true, true}, {Value(65536 + 32768), -32768, false, false},
    };
    for (const auto& [stored, tag, original, alternate] : cases) {
        SCOPED_TRACE(stored.description());
        store->setObject(sPrefSearchPathMethodTag, stored);
        EXPECT_EQ(Preferences::getPrefSearchPathMethodTag(), tag);
        EXPECT_EQ(Preferences::getPrefAlwaysSearchOriginalPath(), original);
        EXPECT_EQ(Preferences::getPrefDoUseKivHiResAlternatePath1(), alternate);
    }
}

TEST_F(SettingsTest, ProblemFolderSitsBesideTheMirrorFolder) {
    const std::pair<Value, std::optional<std::string>> cases[] = {
        {Value("/A/B"), "/A/Problem Folder"},
        {Value("/A/B/"), "/A/Problem Folder"},
        {Value("/B"), "/Problem Folder"},
        {Value(), std::nullopt},
        {Value(""), std::nullopt},
    };
    for (const auto& [mirror, problem] : cases) {
        store->setObject(sPrefLocalMasterMirrorSiteFolder, mirror);
        EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), problem) << mirror.description();
    }
}
