// Japanese text code conversion between Shift_JIS, escape-sequence JIS
// (ISO-2022-JP) and EUC-JP, with widening of half-width katakana. Owns the
// half-width katakana table and the four converters' static result buffers.
#pragma once

// Byte classes. Each takes a byte (only the low 8 bits of ch count, so a
// plain char passed in reads as its unsigned value) and returns 1 or 0.
int issjis(int ch); // Shift_JIS lead byte: 0x81-0x9F or 0xE0-0xEF
int iskana(int ch); // JIS X 0201 half-width katakana: 0xA1-0xDF
int iseuc(int ch);  // bit 7 set: 0x80-0xFF

// Two-byte character conversions. A code is first byte * 256 + second byte
// (only the low 16 bits of ch count) and so is the result. Arguments are not
// validated: codes outside the encoding give whatever the arithmetic gives.
int jtos(int ch); // JIS X 0208 to Shift_JIS
int stoj(int ch); // Shift_JIS to JIS X 0208
int etoj(int ch); // EUC-JP to JIS X 0208: bit 7 of both bytes cleared
int jtoe(int ch); // JIS X 0208 to EUC-JP: bit 7 of both bytes set

// EUC-JP code of the full-width counterpart of a half-width katakana byte,
// or 0 for any other byte.
int kanakana(int ch);

// Writes the escape sequence ESC ch 'B' at s[*p] and advances *p by 3.
// ch '$' selects two-byte JIS X 0208 codes, '(' selects ASCII.
void putescape(char *s, int *p, int ch);

// String conversions. Each converter writes its zero-terminated result into
// a static 1024-byte buffer of its own and returns it; the result stays valid
// until the same converter runs again. Not reentrant.
//
// Inputs of up to 226 (sjistojis), 340 (euctojis) and 1023 bytes (the JIS
// readers) always fit. A converter given more stops before the first
// character that would not fit and returns the conversion of what came
// before it, still ending in ASCII. A character or escape sequence cut short
// by the end of the input is dropped.
const char *sjistojis(const char *s); // Shift_JIS with half-width kana -> JIS
const char *euctojis(const char *s);  // EUC-JP -> JIS
const char *jistosjis(const char *s); // JIS -> Shift_JIS
const char *jistoeuc(const char *s);  // JIS -> EUC-JP
