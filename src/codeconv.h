// Japanese text code conversion between Shift_JIS, escape-sequence JIS
// (ISO-2022-JP) and EUC-JP, with widening of half-width katakana.
#pragma once
