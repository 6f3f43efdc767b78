// Property test of the terminal form, driven by libFuzzer: whatever the
// payload, nothing that can drive a terminal comes out, and text that could
// not drive one goes through unchanged. UTF-8 is judged by the C library's
// own decoder, not by the code under test.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "visible.hpp"

namespace {

bool is_control(wchar_t c)
{
	return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || (c >= 0x7F && c <= 0x9F);
}

// Length of the UTF-8 character at `s`, or 0 if there is none: the C
// library's decoder, held to Unicode scalar values as UTF-8 is since RFC 3629.
size_t decode(const char *s, size_t n, wchar_t &c)
{
	mbstate_t state{};
	const size_t len = mbrtowc(&c, s, n, &state);
	if (len == static_cast<size_t>(-1) || len == static_cast<size_t>(-2) || c > 0x10FFFF ||
	    (c >= 0xD800 && c <= 0xDFFF))
		return 0;
	return len == 0 ? 1 : len;
}

[[noreturn]] void violated(const char *property)
{
	fprintf(stderr, "property violated: %s\n", property);
	abort();
}

// Sequences on every edge of what is valid UTF-8, each with continuation
// bytes 0x80, which show as a bare C1 byte if a bound is off by one.
const char *const kEdges[] = {
    "\xC1\x80", "\xC2\x80", "\xC2\x9F", "\xC2\xA0", "\xDF\xBF", "\xDF\xC0",
    "\xE0\x9F\x80", "\xE0\xA0\x80", "\xE1\x80\x80", "\xE1\x80\x7F", "\xEC\xBF\x80",
    "\xED\x9F\x80", "\xED\xA0\x80", "\xEE\x80\x80", "\xEF\x80\x80", "\xEF\xBF\xBF",
    "\xF0\x8F\x80\x80", "\xF0\x90\x80\x80", "\xF1\x80\x80\x80", "\xF1\x80\x80\xC0",
    "\xF4\x8F\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x7F\x80", "\x1F\x80",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// The edges, and every truncation of them, are checked before the random
// inputs: a bound off by one is found there every time, not in one run of
// several.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
		violated("the C.UTF-8 locale is needed to judge UTF-8");
	for (const char *edge : kEdges)
		for (size_t len = 1; len <= strlen(edge); len++)
			LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(edge), len);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *in = reinterpret_cast<const char *>(data);
	std::vector<char> out(size * kVisibleGrowth + 1);
	const size_t len = make_visible(in, size, out.data());
	if (len > size * kVisibleGrowth)
		violated("output within the growth bound");

	// The output, read as a UTF-8 terminal would: no control code point;
	// read byte by byte as an 8-bit terminal would: no bare C1 byte.
	for (size_t i = 0; i < len;) {
		wchar_t c = 0;
		const size_t n = decode(out.data() + i, len - i, c);
		if (n == 0) {
			const auto byte = static_cast<unsigned char>(out[i]);
			if (byte >= 0x80 && byte <= 0x9F)
				violated("no bare byte 0x80-0x9F");
			i++;
			continue;
		}
		if (is_control(c))
			violated("no control code point");
		i += n;
	}

	// Valid UTF-8 with no control in it is copied unchanged.
	bool plain = true;
	for (size_t i = 0; i < size && plain;) {
		wchar_t c = 0;
		const size_t n = decode(in + i, size - i, c);
		plain = n != 0 && !is_control(c);
		i += n;
	}
	if (plain && (len != size || memcmp(out.data(), in, size) != 0))
		violated("plain text unchanged");
	return 0;
}
