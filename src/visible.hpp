// How a payload is shown on a terminal, so that its bytes cannot drive it.
#pragma once

#include <cstddef>

// The most one input byte can grow: a two-byte C1 control shows as
// "<U+0080>", a bare byte 0x80 as "<80>".
constexpr size_t kVisibleGrowth = 4;

// Copies the `len` bytes at `text` to `out`, which has room for
// kVisibleGrowth * len bytes, showing control bytes (except TAB, CR and LF)
// in caret notation, DEL as "^?", UTF-8 C1 controls as "<U+0080>" to
// "<U+009F>" and bytes 0x80 to 0x9F outside valid UTF-8 as "<80>" to "<9F>".
// Everything else, valid UTF-8 text included, is copied unchanged. Returns
// the number of bytes written.
size_t make_visible(const char *text, size_t len, char *out);
