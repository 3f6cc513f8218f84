// Shared main of every test program: the socket library is up for the whole run.
#include <gtest/gtest.h>

#include "platform/socket.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (startSocketLibrary() != 0) return 2;
  int result = RUN_ALL_TESTS();
  stopSocketLibrary();
  return result;
}
