// A test with a scratch folder of its own: made empty under the test temporary
// folder before each case, and removed with all it holds after it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ScratchFolderTest : public testing::Test {
protected:
    // The folder's name begins with `prefix`.
    explicit ScratchFolderTest(const char* prefix) : mPrefix(prefix) {}

    void SetUp() override
    {
        std::string pattern = testing::TempDir() + mPrefix + "-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mScratch = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(mScratch); }

    const char* mPrefix;
    std::filesystem::path mScratch;
};
