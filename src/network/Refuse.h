#pragma once

#include <iostream>

// Refuses a request the way the network's own checks do: the text on one
// line of standard output, then the same text thrown.
[[noreturn]] inline void Refuse(const char* text) {
    std::cout << text << std::endl;
    throw text;
}
