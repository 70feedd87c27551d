#pragma once
// A fresh store in a temporary folder, installed as the shared store for one test.

#include <gtest/gtest.h>

#include <memory>

#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/TempDir.h"

namespace vorn::test {

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        store = std::make_shared<PreferencesStore>((dir / "prefs.plist").string());
        store->load();
        Preferences::setStore(store);
    }
    void TearDown() override { Preferences::setStore(nullptr); }

    TempDir dir;
    std::shared_ptr<PreferencesStore> store;
};

}  // namespace vorn::test
