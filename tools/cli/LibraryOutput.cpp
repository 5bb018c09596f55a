#include "cli/LibraryOutput.h"

#include <iostream>

LibraryOutput::LibraryOutput(std::streambuf* to) : to_(to), saved_(std::cout.rdbuf(this)) {}

LibraryOutput::~LibraryOutput() { std::cout.rdbuf(saved_); }

LibraryOutput::int_type LibraryOutput::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char text = traits_type::to_char_type(c);
    return xsputn(&text, 1) == 1 ? c : traits_type::eof();
}

std::streamsize LibraryOutput::xsputn(const char* text, std::streamsize count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (to_ != nullptr) to_->sputn(text, count);
    return count;
}

int LibraryOutput::sync() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return to_ != nullptr ? to_->pubsync() : 0;
}
