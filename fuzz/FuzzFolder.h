#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

// Moves the fuzzer into a private temporary folder ("Network.data" is always
// read from the current folder) and silences the library's console lines,
// which would otherwise cost more time than the code under test. The folder
// is left behind on exit; the fuzzers only run in throw-away build trees.
inline void EnterFuzzFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::filesystem::current_path(pattern);
    std::cout.setstate(std::ios::badbit);
}
