#include "cli/LibraryOutputToStderr.h"

#include <iostream>

LibraryOutputToStderr::LibraryOutputToStderr(bool active)
    : saved_(active ? std::cout.rdbuf(std::cerr.rdbuf()) : nullptr) {}

LibraryOutputToStderr::~LibraryOutputToStderr() {
    if (saved_ != nullptr) std::cout.rdbuf(saved_);
}
