#pragma once

#include <cstdint>
#include <string>

namespace norvi {

// The shortest decimal that reads back as the same double, as JSON writes numbers: whole
// numbers without a fraction ("48000"), tiny and huge magnitudes in exponent form
// ("3.051850947599719e-05"). Only finite values make valid JSON.
void appendShortestNumber(std::string& out, double value);
std::string shortestNumberText(double value);

// The text form of a double as people read it in diagnostics: the shortest round-trip digits,
// always with a fractional part or an exponent ("48000.0", "0.0", "1e+16"); non-finite values
// are written "inf", "-inf" and "nan".
std::string doubleDescription(double value);

void appendInteger(std::string& out, std::int64_t value);
void appendUnsigned(std::string& out, std::uint64_t value);

}  // namespace norvi
