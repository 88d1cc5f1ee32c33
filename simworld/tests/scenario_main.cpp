// The tests, or (with --child) the program they start with a scenario in its environment.
#include <gtest/gtest.h>

#include <cstring>

#include "scenario_child.h"

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) return RunScenarioChild(argc - 2, argv + 2);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
