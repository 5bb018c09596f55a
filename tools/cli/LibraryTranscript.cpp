#include "cli/LibraryTranscript.h"

LibraryTranscript::LibraryTranscript() { redirect_.emplace(&text_); }

std::string LibraryTranscript::Stop() {
    redirect_.reset();
    return text_.str();
}

std::string LibraryTranscript::FirstLine(const std::string& text) {
    const std::size_t start = text.find_first_not_of("\r\n");
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}
