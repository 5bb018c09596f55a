#include "network/NetworkFile.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "network/LineBuffer.h"
#include "network/NetworkLimits.h"
#include "network/Refuse.h"
#include "network/WeightLine.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace NetworkFile {

const char* const kFileName = "Network.data";

namespace {

const char* const kOpenError = "open network file error";
const char* const kSizeLineError = "network file error: line 1 must hold width;height";
const char* const kCountLineError = "network file error: line 2 must hold the output count";
const char* const kLongLineError = "network file error: a header line is too long";
const char* const kTooManyNamesError = "network file error: too many category names";
const char* const kNotFiniteError = "network not saved: a weight is not finite";
const char* const kReopenError = "cannot reopen network file for syncing";
const char* const kSyncError = "cannot sync network file";
const char* const kTempSuffix = ".tmp";

// Lines 1 and 2 hold one or two integers; line 3 at most every name the
// limits allow, each with its ";".
const size_t kNumberLineBytes = 256;
const size_t kMaxNames =
    static_cast<size_t>(NetworkLimits::kMaxOutputs) + NetworkLimits::kExtraNames;
const size_t kNameLineBytes = kMaxNames * (NetworkLimits::kMaxNameBytes + 1);

// Reads one line of at most `limit` bytes into `line`; false at the end of
// the file. A longer line is refused as soon as it is seen, so a damaged
// file cannot make the reader hold more than the limit. Files written on
// Windows end their lines with "\r\n"; the "\r" is dropped.
bool ReadLine(std::streambuf& source, std::string& line, size_t limit) {
    line.clear();
    if (std::streambuf::traits_type::eq_int_type(source.sgetc(),
                                                 std::streambuf::traits_type::eof()))
        return false;
    LineBuffer view(source);
    for (auto next = view.sbumpc();
         !std::streambuf::traits_type::eq_int_type(next, std::streambuf::traits_type::eof());
         next = view.sbumpc()) {
        // One byte of slack for a final "\r".
        if (line.size() > limit) Refuse(kLongLineError);
        line.push_back(std::streambuf::traits_type::to_char_type(next));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > limit) Refuse(kLongLineError);
    return true;
}

void ReadHeader(std::streambuf& in, std::vector<std::string>& categories, cv::Size& size,
                int& outputCount) {
    std::string line;
    cv::Size readSize;
    int readCount = 0;

    ReadLine(in, line, kNumberLineBytes);
    std::istringstream sizeLine(line);
    sizeLine.imbue(std::locale::classic());
    if (!(sizeLine >> readSize.width)) Refuse(kSizeLineError);
    if (sizeLine.peek() == ';') sizeLine.get();
    if (!(sizeLine >> readSize.height)) Refuse(kSizeLineError);

    ReadLine(in, line, kNumberLineBytes);
    std::istringstream countLine(line);
    countLine.imbue(std::locale::classic());
    if (!(countLine >> readCount)) Refuse(kCountLineError);

    ReadLine(in, line, kNameLineBytes);
    std::vector<std::string> names;
    std::istringstream nameLine(line);
    std::string name;
    // A piece ends at ";" or at the end of the line: a final ";" adds no empty name.
    while (std::getline(nameLine, name, ';')) {
        // Within the line's length, a line of empty names would still cost
        // a string object per byte.
        if (names.size() == kMaxNames) Refuse(kTooManyNamesError);
        names.push_back(name);
    }

    size = readSize;
    outputCount = readCount;
    categories = std::move(names);
}

void SyncToDisk(const std::string& path) {
#if !defined(_WIN32)
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw kReopenError;
    const int result = ::fsync(fd);
    ::close(fd);
    if (result != 0) throw kSyncError;
#else
    (void)path;
#endif
}

// Makes the rename itself durable. Best effort: the new file is already in
// place, and a folder that cannot be synced does not make the save a failure.
void SyncFolder() {
#if !defined(_WIN32)
    const int fd = ::open(".", O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
#endif
}

// A temporary file of this save alone: two saves running at once (two
// handles, or two processes in one folder) each write their own complete
// file, and whichever is renamed last wins, never a mixture of both.
std::string TemporaryName() {
    static std::atomic<unsigned long> counter{0};
#if defined(_WIN32)
    const long long process = _getpid();
#else
    const long long process = ::getpid();
#endif
    return std::string(kFileName) + "." + std::to_string(process) + "." +
           std::to_string(counter.fetch_add(1)) + kTempSuffix;
}

}  // namespace

std::string_view FormatWeight(float value, WeightText& buffer) {
    // Six significant digits in general notation: the same text as a
    // stream's default float output and as printf's "%g", several times
    // faster than going through the stream's locale machinery.
    const std::to_chars_result result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                                      value, std::chars_format::general, 6);
    return std::string_view(buffer.data(), static_cast<size_t>(result.ptr - buffer.data()));
}

void WriteHeader(std::ostream& out, const std::vector<std::string>& categories, cv::Size size,
                 int outputCount) {
    out << size.width << ";" << size.height << "\n";
    out << outputCount << "\n";
    for (const std::string& name : categories) out << name << ";";
    out << "\n";
}

void Write(const WeightGroups& groups, const std::vector<std::string>& categories, cv::Size size,
           int outputCount) {
    // Text for a non-finite value would not read back: refuse before touching the file.
    for (const WeightGroup& group : groups)
        for (const float* weight : group)
            if (!std::isfinite(*weight)) Refuse(kNotFiniteError);

    const std::string tempName = TemporaryName();
    long long count = 0;
    WeightText buffer;
    try {
        std::ofstream out;
        // The host's global locale (digit grouping, a decimal comma) must not
        // change the file's text.
        out.imbue(std::locale::classic());
        out.exceptions(std::ios::failbit | std::ios::badbit);
        out.open(tempName, std::ios::out | std::ios::trunc);
        WriteHeader(out, categories, size, outputCount);
        for (const WeightGroup& group : groups) {
            for (const float* weight : group) {
                const std::string_view text = FormatWeight(*weight, buffer);
                out.write(text.data(), static_cast<std::streamsize>(text.size()));
                out.put(';');
                ++count;
            }
            out.put('\n');
        }
        out.flush();
        out.close();
        SyncToDisk(tempName);
        std::filesystem::rename(tempName, kFileName);
        SyncFolder();
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(tempName, ignored);
        throw;
    }
    std::cout << "Weights saved:" << count << std::endl;
}

void Read(const WeightGroups* groups, std::vector<std::string>& categories, cv::Size& size,
          int& outputCount) {
    // Only a plain file: a folder, a pipe or a device in its place could
    // block the open or feed the reader without end.
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(kFileName, ignored)) Refuse(kOpenError);
    std::ifstream in(kFileName, std::ios::in | std::ios::binary);
    if (!in.is_open()) Refuse(kOpenError);
    std::streambuf& source = *in.rdbuf();

    ReadHeader(source, categories, size, outputCount);
    if (groups == nullptr) return;

    long long count = 0;
    // One line per group, empty lines included; a line ends at the first
    // value that does not read. Values beyond what the network holds are
    // ignored. Each line is parsed straight from the file: a long line
    // costs no more memory than its longest number.
    for (size_t g = 0; g < groups->size(); ++g) {
        if (std::streambuf::traits_type::eq_int_type(source.sgetc(),
                                                     std::streambuf::traits_type::eof()))
            break;
        count += static_cast<long long>(WeightLine::Read(source, (*groups)[g]));
    }
    std::cout << "Weights loaded:" << count << std::endl;
}

}  // namespace NetworkFile
