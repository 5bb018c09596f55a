#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

// The library's console lines, on their way to Python's logging. The
// library writes them to std::cout, from the calling thread and from its
// workers ("Thread finished", "Error in Parallel engine"), mostly while the
// GIL is released. While at least one Capture lives, std::cout leads here:
// text is gathered per writing thread into whole lines under one lock, and
// nothing else happens, so no writer ever waits for Python. Emit, run by a
// thread that holds the GIL, hands the finished lines to the logger
// "corvane": the library's progress lines ("Image width:", "Network created
// with dense input:", "Weights loaded:", "Weights saved:", "Thread
// finished") at DEBUG, every other line at WARNING, since the library says
// nothing else unless something failed.
class LibraryLog : private std::streambuf {
  public:
    // Points std::cout here from the first Capture until the last one ends;
    // Captures of different threads overlap freely. At its end, text that
    // its thread left without a line end (the library ends some failure
    // lines without one) counts as a line.
    class Capture {
      public:
        Capture();
        ~Capture();
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;
    };

    // Logs the lines finished so far; needs the GIL. Errors of the logging
    // machinery are dropped: a library call must not fail for its log.
    static void Emit() noexcept;

    // Runs `work` with the GIL released and std::cout captured, then logs
    // what the library said, also when `work` threw.
    template <typename Work>
    static auto Unlocked(Work&& work) -> decltype(work()) {
        struct Drain {
            ~Drain() { Emit(); }
        } drain;
        pybind11::gil_scoped_release unlocked;
        const Capture capture;
        return work();
    }

  private:
    static LibraryLog& Instance();

    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

    // Needs mutex_.
    void FinishLine(std::thread::id writer);

    std::mutex mutex_;
    int captures_ = 0;
    std::streambuf* saved_ = nullptr;
    std::map<std::thread::id, std::string> partial_;
    std::vector<std::string> lines_;
};
