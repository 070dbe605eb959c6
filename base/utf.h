// UTF-8 / UTF-16 code points without any platform call, for the formatter and
// the text helpers of base.h (utf8_encode is offered there). Internal to base/.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define UTF_REPLACEMENT 0xFFFDu

// Decodes one code point from `s` (at most `n` bytes, n >= 1). Stores the
// number of bytes taken in *used (at least 1). Malformed input (overlong
// forms, surrogates, values above U+10FFFF, a cut or broken sequence) gives
// U+FFFD and takes the maximal invalid prefix.
uint32_t utf8_decode(const unsigned char *s, size_t n, size_t *used);

// Decodes one code point from UTF-16 `s` (at most `n` units, n >= 1); an
// unpaired surrogate gives U+FFFD. Stores the units taken in *used.
uint32_t utf16_decode(const wchar_t *s, size_t n, size_t *used);

// Encodes `cp` as UTF-16 into `out` (2 units of room); returns the unit count.
size_t utf16_encode(uint32_t cp, wchar_t *out);
