#pragma once

#include <ostream>

#include "cli/Commands.h"

// The `corvane` program: parses the arguments, runs the chosen command and
// turns every failure into one line on the error stream and an exit status
// (0 done, 1 failed, 2 bad arguments, 130 training interrupted and saved).
class CommandLine {
  public:
    CommandLine(std::ostream& out, std::ostream& err);

    int Run(int argc, char** argv);

  private:
    std::ostream& out_;
    std::ostream& err_;
};
