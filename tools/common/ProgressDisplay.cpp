#include "common/ProgressDisplay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr double kTerminalInterval = 0.25;  // seconds between redraws
constexpr double kPlainInterval = 10.0;     // seconds between log lines

}  // namespace

ProgressDisplay::ProgressDisplay(std::ostream& out, bool terminal)
    : out_(out), terminal_(terminal) {}

void ProgressDisplay::Update(const State& state) {
    const double interval = terminal_ ? kTerminalInterval : kPlainInterval;
    if (lastShown_ >= 0.0 && state.elapsedSeconds - lastShown_ < interval) return;
    // The first call only starts the clock, so that no line shows a rate
    // measured over a handful of samples.
    if (lastShown_ < 0.0) {
        lastShown_ = state.elapsedSeconds;
        return;
    }
    lastShown_ = state.elapsedSeconds;
    const std::string line = Line(state);
    if (terminal_) {
        // Blank out the rest of a longer previous line.
        out_ << '\r' << line
             << std::string(lastLength_ > line.size() ? lastLength_ - line.size() : 0, ' ')
             << std::flush;
        lastLength_ = line.size();
    } else {
        out_ << line << std::endl;
    }
}

void ProgressDisplay::Finish(const State& state) {
    const std::string line = Line(state);
    if (terminal_) {
        out_ << '\r' << line
             << std::string(lastLength_ > line.size() ? lastLength_ - line.size() : 0, ' ');
    } else {
        out_ << line;
    }
    out_ << std::endl;
    lastLength_ = 0;
    lastShown_ = state.elapsedSeconds;
}

std::string ProgressDisplay::Line(const State& state) {
    std::ostringstream out;
    if (state.epochs > 1) out << "epoch " << state.epoch << '/' << state.epochs << "  ";
    out << state.done << '/' << state.total << " samples  ";
    if (state.elapsedSeconds > 0.0 && state.done > 0) {
        const double rate = static_cast<double>(state.done) / state.elapsedSeconds;
        const double left = static_cast<double>(state.total - state.done) / rate;
        out << std::fixed << std::setprecision(1) << rate << "/s  ETA " << Clock(left);
    } else {
        out << "-/s  ETA -";
    }
    out << "  loss " << std::fixed << std::setprecision(4) << state.meanLoss;
    return out.str();
}

std::string ProgressDisplay::Clock(double seconds) {
    const long long whole = std::llround(std::max(seconds, 0.0));
    const long long h = whole / 3600, m = (whole / 60) % 60, s = whole % 60;
    std::ostringstream out;
    out << std::setfill('0');
    if (h > 0) {
        out << h << ':' << std::setw(2) << m;
    } else {
        out << m;
    }
    out << ':' << std::setw(2) << s;
    return out.str();
}

bool ProgressDisplay::StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) != 0;
#endif
}
