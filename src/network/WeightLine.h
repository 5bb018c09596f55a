#pragma once

#include <cstddef>
#include <streambuf>

#include "layers/ILayer.h"

// One weight line of the network file: values, each normally followed by
// ";", stored one after another through the references of a group. A value
// is what a "C"-locale input stream reads as a float: blanks skipped, an
// optional sign, digits with at most one decimal point, an optional
// exponent. The line ends at the first value that does not read (text, the
// line end, a number beyond the float range) or when the group is full;
// the rest of the line is skipped. Both functions consume the line and its
// line end from `source` and return the number of values stored.
namespace WeightLine {

// Parses straight from the source's characters; a number far too small for
// a float reads as zero, one too large ends the line.
size_t Read(std::streambuf& source, const WeightGroup& group);

// The same through a std::istream over the line: the plain definition of
// what Read does, kept to check it against.
size_t ReadReference(std::streambuf& source, const WeightGroup& group);

}  // namespace WeightLine
