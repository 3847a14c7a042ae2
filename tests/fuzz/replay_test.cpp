// Every file of every target's corpus, replayed: the seeds, and each
// finding once fixed.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/targets.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

TEST(Fuzz, EveryCorpusFileReplays) {
    for (const auto& target : kestrix::fuzz::kTargets) {
        SCOPED_TRACE(target.name);
        int files = 0;
        for (const auto& entry : fs::directory_iterator(fs::path(KESTRIX_SOURCE_DIR) /
                                                        "tests/fuzz/corpus" / target.name)) {
            target.run(kestrix::test::readFile(entry.path()));
            ++files;
        }
        EXPECT_GT(files, 0);
    }
}
