// The tests' main: runs a child's role when the command line names one (see
// SpawnRole), else the tests.
#include <gtest/gtest.h>

#include "tests/TestSupport.h"

int main(int argc, char** argv) {
  const int role_status = varnex::test::RunRoleFromCommandLine(argc, argv);
  if (role_status >= 0) return role_status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
