// The scenario tests' program that uses devices as a host does (scenario_child.cpp): the test
// program runs it as `scenario_tests.exe --child <mode> [argument]`.
#pragma once

int RunScenarioChild(int argc, char** argv);
