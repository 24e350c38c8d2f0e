// The main() of every unit-test executable: some platform services need a Qt
// application object, which must exist before any test runs.
#include <gtest/gtest.h>
#include <QCoreApplication>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
