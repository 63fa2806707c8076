// The main of every engine test program: a program started as a child
// (support/child_process.hpp) runs that child's body and nothing else.
#include <gtest/gtest.h>

#include "support/child_process.hpp"

int main(int argc, char** argv) {
  deziro::testing::run_child_if_asked(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
