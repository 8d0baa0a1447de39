#include <iostream>

#include "qbrender/command_line.h"

int main(int argc, char** argv) { return runCommandLine(argc, argv, std::cout, std::cerr); }
