#include "visible.hpp"

#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kC1Open[] = {'<', 'U', '+', '0', '0'};

// Length of the valid UTF-8 sequence at `s` (at most `n` bytes), or 0 when
// there is none: overlong forms, surrogates and code points past U+10FFFF
// are not valid.
size_t utf8_length(const unsigned char *s, size_t n)
{
	const unsigned char lead = s[0];
	size_t len = 0;
	unsigned char lo = 0x80;
	unsigned char hi = 0xBF;
	if (lead >= 0xC2 && lead <= 0xDF) {
		len = 2;
	} else if (lead >= 0xE0 && lead <= 0xEF) {
		len = 3;
		lo = lead == 0xE0 ? 0xA0 : 0x80;
		hi = lead == 0xED ? 0x9F : 0xBF;
	} else if (lead >= 0xF0 && lead <= 0xF4) {
		len = 4;
		lo = lead == 0xF0 ? 0x90 : 0x80;
		hi = lead == 0xF4 ? 0x8F : 0xBF;
	} else {
		return 0;
	}
	if (n < len || s[1] < lo || s[1] > hi)
		return 0;
	for (size_t i = 2; i < len; i++) {
		if ((s[i] & 0xC0) != 0x80)
			return 0;
	}
	return len;
}

char *put_hex(char *dst, unsigned char c)
{
	*dst++ = kHex[c >> 4];
	*dst++ = kHex[c & 0xF];
	return dst;
}

} // namespace

size_t make_visible(const char *text, size_t len, char *out)
{
	const auto *in = reinterpret_cast<const unsigned char *>(text);
	char *dst = out;

	for (size_t i = 0; i < len;) {
		const unsigned char c = in[i];
		if (c < 0x80) {
			if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
				*dst++ = '^';
				*dst++ = static_cast<char>(c ^ 0x40);
			} else {
				*dst++ = static_cast<char>(c);
			}
			i++;
			continue;
		}
		const size_t seq = utf8_length(in + i, len - i);
		if (seq == 2 && c == 0xC2 && in[i + 1] <= 0x9F) {
			// A C1 control such as CSI, as a UTF-8 terminal reads it.
			memcpy(dst, kC1Open, sizeof kC1Open);
			dst = put_hex(dst + sizeof kC1Open, in[i + 1]);
			*dst++ = '>';
			i += 2;
		} else if (seq > 0) {
			memcpy(dst, in + i, seq);
			dst += seq;
			i += seq;
		} else if (c <= 0x9F) {
			// A bare byte that an 8-bit terminal reads as a C1 control.
			*dst++ = '<';
			dst = put_hex(dst, c);
			*dst++ = '>';
			i++;
		} else {
			*dst++ = static_cast<char>(c);
			i++;
		}
	}
	return static_cast<size_t>(dst - out);
}
