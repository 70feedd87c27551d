#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

TEST_F(SettingsTest, WriteBackBooleansStoreFalseWhenNothingAnswers) {
    struct Accessor {
        const char* key;
        bool (*read)();
    } accessors[] = {
        {sPrefDeleteEmptyFtpFolders, &Preferences::getPrefDeleteEmptyFtpFolders},
        {sPrefAutoSynchronize, &Preferences::getDoAutoSynchronize},
        {sPrefDoUseDeleteOldPhotos, &Preferences::getPrefUseDoDeleteOldPhotos},
        {sPrefShowWindowAtStartup, &Preferences::getPrefShowWindowAtStartup},
        {sPrefAutoStartUploadAtStartup, &Preferences::getAutoStartUploadAtStartup},
    };
    struct Case {
        const char* name;
        Layers layers;
        bool expected;
        Value storedAfter;  // None: still nothing stored
    } cases[] = {
        {"nothing anywhere", {}, false, Value(false)},
        {"registered true", {Value(true), {}}, true, Value()},
        {"stored yes", {{}, Value("yes")}, true, Value("yes")},
        {"stored no over registered true", {Value(true), Value("no")}, false, Value("no")},
    };
    for (const auto& a : accessors) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(a.key) + ": " + c.name);
            auto s = std::make_shared<PreferencesStore>((dir / "unused.plist").string());
            Preferences::setStore(s);
            apply(*s, a.key, c.layers);
            EXPECT_EQ(a.read(), c.expected);
            EXPECT_EQ(s->hasStoredValue(a.key), !c.storedAfter.isNone());
            EXPECT_EQ(s->storedValues()[a.key], c.storedAfter);
            EXPECT_EQ(a.read(), c.expected) << "second read";
        }
    }
}

TEST_F(SettingsTest, PlainBooleansReadYesNoTextAndStoreNothing) {
    const std::pair<const char*, bool (*)()> reads[] = {
        {sPrefShowPreviewWhenUploading, &Preferences::getPrefShowPreviewWhenUploading},
        {sPrefDoCheckOrders, &Preferences::getPrefDoCheckOrders},
        {sPrefAllowRootVolumeSelections, &Preferences::getPrefAllowRootVolumeSelections},
        {sPrefFormBaseIdFromFileName, &Preferences::getPrefFormBaseIdFromFileName}};
    for (const auto& [key, read] : reads) {
        EXPECT_FALSE(read()) << key;
        EXPECT_FALSE(store->hasStoredValue(key)) << key;
        store->setObject(key, "Yes");
        EXPECT_TRUE(read()) << key;
    }
    store->setObject(sPrefUseEventName, "no");
    EXPECT_TRUE(Preferences::getUseEventName());
}

TEST_F(SettingsTest, DaysToSaveLogsIsClampedAndTheCorrectionStored) {
    struct Case {
        Layers layers;
        int expected;
        Value storedAfter;
    } cases[] = {
        {{}, 14, Value(14)},
        {{{}, Value(0)}, 14, Value(14)},
        {{{}, Value(2)}, 3, Value(3)},
        {{{}, Value(3)}, 3, Value(3)},
        {{{}, Value(90)}, 90, Value(90)},
        {{{}, Value(91)}, 90, Value(90)},
        {{Value(14), {}}, 14, Value()},  // the factory value stands and is not copied
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layers.registered.description() + " / " + c.layers.stored.description());
        auto s = std::make_shared<PreferencesStore>((dir / "unused.plist").string());
        Preferences::setStore(s);
        apply(*s, sPrefDaysToSaveLogs, c.layers);
        EXPECT_EQ(Preferences::getDaysToSaveLogs(), c.expected);
        EXPECT_EQ(s->storedValues()[sPrefDaysToSaveLogs], c.storedAfter);
    }
}

TEST_F(SettingsTest, UploadTimeOutFallsBackTo500) {
    struct Case {
        Value stored;
        float expected;
    } cases[] = {
        {Value(), 500.0f},
        {Value(0), 500.0f},
        {Value(0.5), 0.5f},
        {Value("abc"), 500.0f},
        {Value(1e-60), 500.0f},
        {Value(HUGE_VAL), 86400.0f},
        {Value(std::nan("")), 500.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.description());
        store->setObject(sPrefUploadTimeOut, c.stored);  // None removes
        EXPECT_EQ(Preferences::getUploadTimeOut(), c.expected);
    }
}

TEST_F(SettingsTest, SearchPathMethodTagSelectsTheSearches) {
    struct Case {
        Value stored;
        std::int16_t tag;
        bool original;
        bool alternate;
    } cases[] = {
        {Value(), 0, false, false},        {Value(1), 1, true, false},
        {Value(2), 2, false, true},        {Value(3), 3, true, true},
        {Value(65536 + 3), 3, true, true}, {Value(65536 + 32768), -32768, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.description());
        store->setObject(sPrefSearchPathMethodTag, c.stored);  // None removes
        EXPECT_EQ(Preferences::getPrefSearchPathMethodTag(), c.tag);
        EXPECT_EQ(Preferences::getPrefAlwaysSearchOriginalPath(), c.original);
        EXPECT_EQ(Preferences::getPrefDoUseKivHiResAlternatePath1(), c.alternate);
    }
}

TEST_F(SettingsTest, ProblemFolderSitsBesideTheMirrorFolder) {
    struct Case {
        Value mirror;
        std::optional<std::string> problem;
    } cases[] = {
        {Value("/A/B"), "/A/Problem Folder"},
        {Value("/A/B/"), "/A/Problem Folder"},
        {Value("/B"), "/Problem Folder"},
        {Value(), std::nullopt},
        {Value(""), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mirror.description());
        store->setObject(sPrefLocalMasterMirrorSiteFolder, c.mirror);  // None removes
        EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), c.problem);
        EXPECT_FALSE(store->hasStoredValue("Problem Folder"));
    }
}
