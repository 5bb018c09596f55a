#include "network/LineBuffer.h"

LineBuffer::int_type LineBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (ended_) return traits_type::eof();
    // A bounded chunk at a time: a line may be far longer than memory allows.
    size_t count = 0;
    while (count < chunk_.size()) {
        const int_type next = source_.sbumpc();
        if (traits_type::eq_int_type(next, traits_type::eof()) ||
            traits_type::to_char_type(next) == '\n') {
            ended_ = true;
            break;
        }
        chunk_[count++] = traits_type::to_char_type(next);
    }
    if (count == 0) return traits_type::eof();
    setg(chunk_.data(), chunk_.data(), chunk_.data() + count);
    return traits_type::to_int_type(chunk_[0]);
}

void LineBuffer::SkipRest() {
    setg(chunk_.data(), chunk_.data(), chunk_.data());
    while (!ended_) {
        const int_type next = source_.sbumpc();
        if (traits_type::eq_int_type(next, traits_type::eof()) ||
            traits_type::to_char_type(next) == '\n')
            ended_ = true;
    }
}
