#include <gtest/gtest.h>

#include "cache/cache.h"
#include "cache/index.h"

namespace {

// Empties the cache and restores its budgets before every test.
class CacheReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        SetCacheBudgets(0, 0);
        EmptyCache();
    }
};

const bool kInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CacheReset);
    return true;
}();

}  // namespace
