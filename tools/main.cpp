#include <iostream>

#include "cli/CommandLine.h"

int main(int argc, char** argv) { return CommandLine(std::cout, std::cerr).Run(argc, argv); }
