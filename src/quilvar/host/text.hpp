// Helpers over the host's fixed-width, blank-padded texts and its value
// comparison, shared by every part of the module.
#pragma once

#include <cstdint>

namespace quilvar::host {

// Length of a text without its trailing blanks (0 for an all-blank text).
int trim_length(const char* text, int length);

// Moves a text within its field of `length` characters: leading blanks are
// skipped and the trimmed text placed at the start ('L'), the end ('R') or
// centred ('C': starting at length - (length + t + 1) / 2, the odd blank
// going to the right); vacated characters become blanks. Modes in either case.
void justify_text(char* text, int length, char mode);

// Position of the first occurrence of pattern in text (byte comparison), or
// -1. An empty pattern is found at 0; an empty text gives -1. A negative
// pattern length means the pattern ends at a zero byte.
int find_text(const char* text, int text_length, const char* pattern, int pattern_length);

// Compares two values: length < 0 doubles in the missing-value order (every
// missing value below every number; among missing values ".\_" first, then
// ".", then ".A" to ".Z"), 0 32-bit integers, > 0 that many unsigned bytes.
// Returns -1, 0 or +1.
int compare_values(const void* a, const void* b, int length);

// The rank of a double in the missing-value order: 0 for a number.
int missing_rank(double value);

}  // namespace quilvar::host
