// The settings tests' fixture: a system and a per-user folder in a temporary folder, with
// helpers that write either file and load the settings over them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "settings/kesto_settings.h"
#include "temp_dir.h"

namespace velquor::settings {

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() {
        paths.systemFolder = dir / "etc";
        paths.userFolder = dir / "home" / "velquor";
        std::filesystem::create_directories(paths.systemFolder);
        std::filesystem::create_directories(paths.userFolder);
    }

    void system(std::string_view text) { testing::writeFile(paths.systemFile(), text); }
    void user(std::string_view text) { testing::writeFile(paths.userFile(), text); }

    LoadedSettings load(const KestoValues& commandLine = {}) {
        auto loaded = loadSettings(commandLine, paths);
        EXPECT_TRUE(loaded.ok()) << loaded.error().message;
        return loaded ? *loaded : LoadedSettings{};
    }

    std::string loadError() {
        auto loaded = loadSettings({}, paths);
        EXPECT_FALSE(loaded.ok());
        return loaded ? std::string() : loaded.error().message;
    }

    testing::TempDir dir;
    SettingsPaths paths;
};

}  // namespace velquor::settings
