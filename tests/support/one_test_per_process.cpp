// core_tests' main. The statistics record, its one final event and the shared
// progress belong to a process, so every test runs in a process of its own
// (ctest starts one per test). Asked to run more than one, the binary says so
// and refuses, rather than report failures that are not there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class OneTestPerProcess : public testing::EmptyTestEventListener {
    void OnTestIterationStart(const testing::UnitTest& unit, int) override {
        if (unit.test_to_run_count() <= 1) return;
        std::fprintf(stderr,
                     "%d tests selected, but each needs a process of its own (the statistics record and its one "
                     "final event belong to a process).\nRun them with ctest, or one at a time with "
                     "--gtest_filter=Suite.Name.\n",
                     unit.test_to_run_count());
        std::exit(2);
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new OneTestPerProcess);
    return RUN_ALL_TESTS();
}
