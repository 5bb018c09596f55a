#pragma once

#include <optional>
#include <sstream>
#include <string>

#include "cli/LibraryOutput.h"

// What the library says during one call. From construction until Stop (or
// destruction), whatever is written to std::cout is kept here, so that the
// caller can read a count from it, or fold a failure's reason into its own
// one-line message instead of showing the library's lines as well.
class LibraryTranscript {
  public:
    LibraryTranscript();

    // Gives std::cout back to its previous target and returns what was said.
    std::string Stop();

    // The first non-empty line of text, without its line end.
    static std::string FirstLine(const std::string& text);

  private:
    std::stringbuf text_;
    std::optional<LibraryOutput> redirect_;
};
