#pragma once

#include <ostream>

#include "cli/Commands.h"

// The `corvane` program: parses the arguments, runs the chosen command and
// turns every failure into one line on the error stream and an exit status
// (0 done, 1 failed in whole or in part, 2 bad arguments, 130 interrupted
// after saving or showing what was done). Results go to out; while a command
// runs, the library's own lines go to err (or nowhere with --quiet).
class CommandLine {
  public:
    CommandLine(std::ostream& out, std::ostream& err);

    int Run(int argc, char** argv);

  private:
    std::ostream& out_;
    std::ostream& err_;
};
