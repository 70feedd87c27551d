#include <gtest/gtest.h>

#include <set>

#include "SettingsFixture.h"
#include "platform/PropertyList.h"
#include "settings/FactoryDefaults.h"
#include "settings/PreferenceKeys.h"
#include "support/CapturedOutput.h"

using namespace vorn;
using vorn::test::CapturedOutput;
using vorn::test::readFile;
using vorn::test::SettingsTest;
using vorn::test::writeFile;

const std::string kFactoryFile = std::string(VORN_SOURCE_DIR) + "/resources/FactoryDefault.plist";

TEST_F(SettingsTest, FactoryDefaultsAnswerWithoutBeingStored) {
    EXPECT_FALSE(setupFactoryDefaults(*store, (dir / "none.plist").string()));
    EXPECT_TRUE(store->registeredDefaults().empty());
    ASSERT_TRUE(setupFactoryDefaults(*store, kFactoryFile));
    // The file carries every key, no other, in our own layout.
    const Dictionary factory = store->registeredDefaults();
    const std::set<std::string> keys(allPreferenceKeyNames().begin(),
                                     allPreferenceKeyNames().end());
    for (const auto& k : keys) EXPECT_TRUE(factory.count(k)) << k;
    for (const auto& [k, v] : factory) EXPECT_TRUE(keys.count(k)) << "unknown key " << k;
    EXPECT_EQ(toXmlPropertyList(Value(factory)), readFile(kFactoryFile));
    EXPECT_EQ(Preferences::getPrefKivURL(), "http://127.0.0.1:8686/vorn");
    EXPECT_EQ(Preferences::getDaysToSaveLogs(), 14);
    EXPECT_TRUE(Preferences::getDoAutoSynchronize());
    EXPECT_TRUE(store->storedValues().empty());
    EXPECT_EQ(readFile(defaultFactoryDefaultsPath()), readFile(kFactoryFile));
}

TEST_F(SettingsTest, OlderPreferencesAreImportedOnce) {
    std::string old = (dir / "old.plist").string();
    struct Case {
        const char* name;
        std::optional<std::string> oldFile;  // nothing: no file
        Value flag;                          // registered value of the flag, None: absent
        const char* log;
        Dictionary storedAfter;
    } cases[] = {
        {"imports only listed keys",
         toXmlPropertyList(Value(Dictionary{{sUserLoginName, Value("olduser")},
                                            {"unrelatedKey", Value("x")},
                                            {sPrefKivURL, Value("http://old")},
                                            {sPrefDoCopyOldFtpPref, Value(false)}})),
         Value(false),
         "Need to Copy OLD Ftp Prefs from: [",
         {{sUserLoginName, Value("olduser")}, {sPrefDoCopyOldFtpPref, Value(true)}}},
        {"no old file", std::nullopt, Value(false), "NO OLD ftp-uploader.plist to copy...", {}},
        {"flag unknown to this version",
         toXmlPropertyList(Value(Dictionary{{sUserLoginName, Value("olduser")}})),
         Value(),
         "This version does NOT have pref = [prefDoCopyOldFtpPref]",
         {}},
        {"already done",
         toXmlPropertyList(Value(Dictionary{{sUserLoginName, Value("olduser")}})),
         Value(true),
         "ALREADY Copied OLD Ftp Prefs...",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(old);
        if (c.oldFile) writeFile(old, *c.oldFile);
        auto s =
            std::make_shared<PreferencesStore>((dir / (std::string(c.name) + ".plist")).string());
        s->load();
        if (!c.flag.isNone()) s->registerDefaults({{sPrefDoCopyOldFtpPref, c.flag}});
        CapturedOutput err(2);
        importOlderPreferences(*s, old);
        EXPECT_NE(err.text().find(c.log), std::string::npos) << err.text();
        EXPECT_EQ(s->storedValues(), c.storedAfter);
        if (!c.storedAfter.empty()) {
            // Written through, and a second start copies nothing.
            PreferencesStore reread(s->path());
            reread.load();
            EXPECT_EQ(reread.storedValues(), c.storedAfter);
            writeFile(old, toXmlPropertyList(Value(Dictionary{{sUserLoginName, Value("other")}})));
            CapturedOutput again(2);
            importOlderPreferences(*s, old);
            EXPECT_NE(again.text().find("ALREADY Copied OLD Ftp Prefs..."), std::string::npos);
            EXPECT_EQ(s->storedValues(), c.storedAfter);
        } else {
            EXPECT_EQ(s->objectForKey(sPrefDoCopyOldFtpPref), c.flag) << "the flag must not move";
        }
    }
}

TEST(YesNoText, OnlyYesOrNoInAnyCase) {
    struct Case {
        std::optional<std::string> text;
        bool valid;
    } cases[] = {{"YES", true},         {"nO", true},   {"y", false},
                 {std::nullopt, false}, {" no", false}, {std::string("yes\0x", 5), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("(no text)"));
        EXPECT_EQ(isValidYesNoString(c.text ? &*c.text : nullptr), c.valid);
    }
}
