#pragma once

#include <streambuf>

// While alive (and active), whatever is written to std::cout, such as the
// library's own "Weights loaded:" lines, goes to standard error instead, so
// that machine-read output on standard output stays clean.
class LibraryOutputToStderr {
  public:
    explicit LibraryOutputToStderr(bool active);
    ~LibraryOutputToStderr();
    LibraryOutputToStderr(const LibraryOutputToStderr&) = delete;
    LibraryOutputToStderr& operator=(const LibraryOutputToStderr&) = delete;

  private:
    std::streambuf* saved_;
};
