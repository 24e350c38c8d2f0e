#include "main/driver.h"

int main(int argc, char** argv) { return ZorErrorReporting::Main(argc, argv); }
