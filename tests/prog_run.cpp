// prog_run.cpp: the programs as a user runs them.
#include <gtest/gtest.h>

TEST(Program, Placeholder) { SUCCEED(); }
