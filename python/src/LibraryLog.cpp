#include "LibraryLog.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace py = pybind11;

namespace {

bool ProgressLine(const std::string& line) {
    static const char* const kProgress[] = {"Image width:", "Network created with dense input:",
                                            "Weights loaded:", "Weights saved:", "Thread finished"};
    for (const char* start : kProgress) {
        if (line.rfind(start, 0) == 0) return true;
    }
    return false;
}

}  // namespace

LibraryLog& LibraryLog::Instance() {
    // Never destroyed: a worker may still write while static objects go away.
    static LibraryLog* const log = new LibraryLog();
    return *log;
}

LibraryLog::Capture::Capture() {
    LibraryLog& log = Instance();
    const std::lock_guard<std::mutex> lock(log.mutex_);
    if (log.captures_++ == 0) log.saved_ = std::cout.rdbuf(&log);
}

LibraryLog::Capture::~Capture() {
    LibraryLog& log = Instance();
    const std::lock_guard<std::mutex> lock(log.mutex_);
    log.FinishLine(std::this_thread::get_id());
    if (--log.captures_ > 0) return;
    std::cout.rdbuf(log.saved_);
    // Every call has ended, so no writer is left in the middle of a line.
    while (!log.partial_.empty()) log.FinishLine(log.partial_.begin()->first);
}

void LibraryLog::FinishLine(std::thread::id writer) {
    const auto found = partial_.find(writer);
    if (found == partial_.end()) return;
    if (!found->second.empty()) lines_.push_back(std::move(found->second));
    partial_.erase(found);
}

LibraryLog::int_type LibraryLog::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char text = traits_type::to_char_type(c);
    return xsputn(&text, 1) == 1 ? c : traits_type::eof();
}

std::streamsize LibraryLog::xsputn(const char* text, std::streamsize count) {
    const std::thread::id writer = std::this_thread::get_id();
    const std::lock_guard<std::mutex> lock(mutex_);
    const char* const end = text + count;
    for (const char* start = text; start != end;) {
        const char* const lineEnd = std::find(start, end, '\n');
        partial_[writer].append(start, lineEnd);
        if (lineEnd == end) break;
        FinishLine(writer);
        start = lineEnd + 1;
    }
    return count;
}

void LibraryLog::Emit() noexcept {
    std::vector<std::string> lines;
    {
        LibraryLog& log = Instance();
        const std::lock_guard<std::mutex> lock(log.mutex_);
        lines.swap(log.lines_);
    }
    if (lines.empty()) return;
    // A Python error may be on its way out of the call that said these lines.
    const py::error_scope keep;
    try {
        const py::module_ logging = py::module_::import("logging");
        const py::object logger = logging.attr("getLogger")("corvane");
        const py::object debug = logging.attr("DEBUG");
        const py::object warning = logging.attr("WARNING");
        for (const std::string& line : lines) {
            logger.attr("log")(ProgressLine(line) ? debug : warning, "%s", line);
        }
    } catch (...) {
        PyErr_Clear();
    }
}
