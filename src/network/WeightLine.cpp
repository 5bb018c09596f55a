#include "network/WeightLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <istream>
#include <locale>
#include <string>
#include <system_error>

#include "network/LineBuffer.h"

namespace WeightLine {

namespace {

using Traits = std::streambuf::traits_type;

// The characters of one line; the line end reads as the end of the data
// and is consumed when first seen.
class LineCursor {
  public:
    explicit LineCursor(std::streambuf& source) : source_(source) {}
    // The current character, or -1 at the end of the line.
    int Peek() {
        if (ended_) return -1;
        const Traits::int_type next = source_.sgetc();
        if (Traits::eq_int_type(next, Traits::eof())) {
            ended_ = true;
            return -1;
        }
        const char c = Traits::to_char_type(next);
        if (c == '\n') {
            source_.sbumpc();
            ended_ = true;
            return -1;
        }
        return static_cast<unsigned char>(c);
    }
    void Advance() { source_.sbumpc(); }
    void SkipRest() {
        while (Peek() != -1) Advance();
    }

  private:
    std::streambuf& source_;
    bool ended_ = false;
};

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// The blanks of the "C" locale other than the line end.
bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

// The decimal exponent of the first significant digit of a well-formed
// number text ("0.003e2" gives -1, "12e3" gives 4): tells a number too
// small for a float from one too large. Saturates far beyond any float's
// range; a text of zeros only gives -1.
long Magnitude(const std::string& text) {
    const size_t mark = text.find('e');
    const size_t end = mark == std::string::npos ? text.size() : mark;
    long exponent = 0;
    if (mark != std::string::npos) {
        for (size_t k = mark + 1; k < text.size(); ++k)
            if (IsDigit(text[k]) && exponent < 1000000) exponent = exponent * 10 + (text[k] - '0');
        if (text[mark + 1] == '-') exponent = -exponent;
    }
    const size_t point = std::min(text.find('.'), end);
    for (size_t k = 0; k < end; ++k) {
        if (!IsDigit(text[k]) || text[k] == '0') continue;
        const long place =
            k < point ? static_cast<long>(point - k) - 1 : -static_cast<long>(k - point);
        return place + exponent;
    }
    return -1;
}

// Reads the text of one number the way a stream's float extraction
// gathers it (after the blanks): an optional sign, one "0" for any run of
// leading zeros, digits and one decimal point, then an exponent marker
// only after a digit, with an optional sign of its own. Returns false when
// the text is not a whole number ("", ".", "-", "1e", "1e+").
bool GatherNumber(LineCursor& line, std::string& text) {
    text.clear();
    int c = line.Peek();
    if (c == '+' || c == '-') {
        text += static_cast<char>(c);
        line.Advance();
        c = line.Peek();
    }
    bool mantissa = false;
    while (c == '0') {
        if (!mantissa) text += '0';
        mantissa = true;
        line.Advance();
        c = line.Peek();
    }
    bool point = false;
    bool exponent = false;
    bool exponentDigits = false;
    for (;;) {
        if (c == '.' && !point && !exponent) {
            text += '.';
            point = true;
        } else if (IsDigit(c)) {
            text += static_cast<char>(c);
            if (exponent)
                exponentDigits = true;
            else
                mantissa = true;
        } else if ((c == 'e' || c == 'E') && !exponent && mantissa) {
            text += 'e';
            exponent = true;
            line.Advance();
            c = line.Peek();
            if (c != '+' && c != '-') continue;
            text += static_cast<char>(c);
        } else {
            break;
        }
        line.Advance();
        c = line.Peek();
    }
    return mantissa && (!exponent || exponentDigits);
}

// The float a well-formed number text stands for, rounded to nearest; false
// for a number beyond the float range. A number too small for a float
// reads as zero of its sign.
bool Convert(const std::string& text, float& value) {
    const size_t start = text[0] == '+' ? 1 : 0;
    float parsed = 0.0f;
    const std::from_chars_result result =
        std::from_chars(text.data() + start, text.data() + text.size(), parsed);
    if (result.ec == std::errc() && result.ptr == text.data() + text.size()) {
        value = parsed;
        return true;
    }
    if (result.ec != std::errc::result_out_of_range) return false;
    // Out of range: too small reads as zero, too large does not read.
    if (Magnitude(text) >= 0) return false;
    value = text[0] == '-' ? -0.0f : 0.0f;
    return true;
}

}  // namespace

size_t Read(std::streambuf& source, const WeightGroup& group) {
    LineCursor line(source);
    std::string text;
    size_t stored = 0;
    while (stored < group.size()) {
        while (IsBlank(line.Peek())) line.Advance();
        float value = 0.0f;
        if (!GatherNumber(line, text) || !Convert(text, value)) break;
        *group[stored++] = value;
        if (line.Peek() == ';') line.Advance();
    }
    line.SkipRest();
    return stored;
}

size_t ReadReference(std::streambuf& source, const WeightGroup& group) {
    LineBuffer line(source);
    std::istream values(&line);
    values.imbue(std::locale::classic());
    size_t stored = 0;
    float value = 0.0f;
    while (stored < group.size() && (values >> value)) {
        *group[stored++] = value;
        if (values.peek() == ';') values.get();
    }
    line.SkipRest();
    return stored;
}

}  // namespace WeightLine
