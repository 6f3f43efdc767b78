// nmea-udp-listener: reports every UDP datagram sent to port 9888 on standard output.
#include <sys/types.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr unsigned short kPort = 9888;
constexpr size_t kMaxPayload = 512;
// Into a pipe or file, a larger buffer means fewer writes under a burst;
// the loop flushes it whenever it is about to sleep, so nothing waits in it.
constexpr size_t kPipeBufferSize = 64 * 1024;
// A two-byte C1 control shown as "<U+0080>" is the widest growth: 4 times.
constexpr size_t kVisibleMax = kMaxPayload * 4;
constexpr char kSecondLabel[] = "\nreceive UDP : ";
// "Received packet from 255.255.255.255:65535\nData: " and its zero byte.
constexpr size_t kHeaderMax = 64;
constexpr size_t kReportMax = kHeaderMax + 2 * kVisibleMax + sizeof kSecondLabel + 1;

char payload[kMaxPayload + 1];
char visible[kVisibleMax + 1];
char pipe_buffer[kPipeBufferSize];
// The report is assembled here and written in one call.
char report[kReportMax];

// A datagram's bytes must not drive the reader's terminal: show control
// bytes (except TAB, CR and LF), DEL and UTF-8 C1 controls as text.
const char *make_visible(const char *in)
{
	static const char hex[] = "0123456789ABCDEF";
	char *out = visible;

	for (; *in != '\0'; in++) {
		const auto c = static_cast<unsigned char>(*in);
		const auto next = static_cast<unsigned char>(in[1]);
		if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
			memcpy(out, "<U+00", 5);
			out[5] = hex[next >> 4];
			out[6] = hex[next & 0xF];
			out[7] = '>';
			out += 8;
			in++;
		} else if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
			*out++ = '^';
			*out++ = static_cast<char>(c ^ 0x40);
		} else {
			*out++ = static_cast<char>(c);
		}
	}
	*out = '\0';
	return visible;
}

} // namespace

int main()
{
	const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (fd == -1) {
		puts("Server : socket create error");
		exit(1);
	}

	sockaddr_in local;
	memset(&local, 0, sizeof local);
	local.sin_family = AF_INET;
	local.sin_port = htons(kPort);
	local.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1) {
		puts("Server : Can't bind local address");
		exit(1);
	}

	const bool terminal = isatty(STDOUT_FILENO) == 1;
	// A terminal keeps its line buffering. Failing to enlarge the buffer
	// costs only speed, so the listener carries on with the default.
	if (!terminal)
		(void)setvbuf(stdout, pipe_buffer, _IOFBF, sizeof pipe_buffer);

	// The first line depends only on the sender, which is usually the same
	// gateway every time, so it is formatted again only when that changes.
	sockaddr_in last{};
	size_t header_len = 0;
	for (;;) {
		sockaddr_in peer;
		socklen_t peerlen = sizeof peer;
		ssize_t n = recvfrom(fd, payload, kMaxPayload, MSG_DONTWAIT,
		    reinterpret_cast<sockaddr *>(&peer), &peerlen);
		if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			// Nothing is waiting: hand every report to the reader
			// before sleeping, or the tail of a run sits unseen.
			fflush(stdout);
			peerlen = sizeof peer;
			n = recvfrom(fd, payload, kMaxPayload, 0,
			    reinterpret_cast<sockaddr *>(&peer), &peerlen);
		}
		// A failed receive has no datagram to report.
		if (n == -1)
			continue;
		payload[n] = '\0';

		if (header_len == 0 || peer.sin_addr.s_addr != last.sin_addr.s_addr ||
		    peer.sin_port != last.sin_port) {
			const int len = snprintf(report, kHeaderMax, "Received packet from %s:%u\nData: ",
			    inet_ntoa(peer.sin_addr), static_cast<unsigned>(ntohs(peer.sin_port)));
			header_len = static_cast<size_t>(len);
			last = peer;
		}
		const char *text = terminal ? make_visible(payload) : payload;
		const size_t text_len = strlen(text);
		char *end = report + header_len;
		memcpy(end, text, text_len);
		end += text_len;
		memcpy(end, kSecondLabel, sizeof kSecondLabel - 1);
		end += sizeof kSecondLabel - 1;
		memcpy(end, text, text_len);
		end += text_len;
		*end++ = '\n';
		fwrite(report, 1, static_cast<size_t>(end - report), stdout);
	}
}
