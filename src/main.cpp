// nmea-udp-listener: reports every UDP datagram sent to port 9888 on standard output.
#include <sys/types.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <poll.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr unsigned short kPort = 9888;
constexpr size_t kMaxPayload = 512;
// Under a burst, reports leave in writes of up to this size; bigger bought
// no measurable speed, only memory.
constexpr size_t kOutputSize = size_t{16} * 1024;
// A two-byte C1 control shown as "<U+0080>" is the widest growth: 4 times.
constexpr size_t kVisibleMax = kMaxPayload * 4;
constexpr char kSecondLabel[] = "\nreceive UDP : ";
// Room for "Received packet from 255.255.255.255:65535\nData: ".
constexpr size_t kHeaderMax = 64;
constexpr size_t kReportMax = kHeaderMax + 2 * kVisibleMax + sizeof kSecondLabel;
static_assert(kReportMax <= kOutputSize, "a whole report must fit the output buffer");

char payload[kMaxPayload + 1];
char visible[kVisibleMax + 1];
// Reports collect here and go out in one write when it is full or when the
// listener is about to sleep; on a terminal, after every report.
char out[kOutputSize];
size_t out_len;
char header[kHeaderMax];

// A datagram's bytes must not drive the reader's terminal: show control
// bytes (except TAB, CR and LF), DEL and UTF-8 C1 controls as text.
const char *make_visible(const char *in)
{
	static const char hex[] = "0123456789ABCDEF";
	char *dst = visible;

	for (; *in != '\0'; in++) {
		const auto c = static_cast<unsigned char>(*in);
		const auto next = static_cast<unsigned char>(in[1]);
		if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
			memcpy(dst, "<U+00", 5);
			dst[5] = hex[next >> 4];
			dst[6] = hex[next & 0xF];
			dst[7] = '>';
			dst += 8;
			in++;
		} else if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
			*dst++ = '^';
			*dst++ = static_cast<char>(c ^ 0x40);
		} else {
			*dst++ = static_cast<char>(c);
		}
	}
	*dst = '\0';
	return visible;
}

// Writes what has collected. A write that cannot be completed (the reader
// is gone and SIGPIPE ignored) loses the reports: there is nowhere to say so.
void flush_out()
{
	size_t done = 0;
	while (done < out_len) {
		const ssize_t n = write(STDOUT_FILENO, out + done, out_len - done);
		if (n == -1) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN) {
				pollfd p{STDOUT_FILENO, POLLOUT, 0};
				(void)poll(&p, 1, -1);
				continue;
			}
			break;
		}
		done += static_cast<size_t>(n);
	}
	out_len = 0;
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
			flush_out();
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
			const int len = snprintf(header, sizeof header, "Received packet from %s:%u\nData: ",
			    inet_ntoa(peer.sin_addr), static_cast<unsigned>(ntohs(peer.sin_port)));
			header_len = static_cast<size_t>(len);
			last = peer;
		}
		const char *text = terminal ? make_visible(payload) : payload;
		const size_t text_len = strlen(text);
		if (out_len + header_len + 2 * text_len + sizeof kSecondLabel > sizeof out)
			flush_out();
		char *end = out + out_len;
		memcpy(end, header, header_len);
		end += header_len;
		memcpy(end, text, text_len);
		end += text_len;
		memcpy(end, kSecondLabel, sizeof kSecondLabel - 1);
		end += sizeof kSecondLabel - 1;
		memcpy(end, text, text_len);
		end += text_len;
		*end++ = '\n';
		out_len = static_cast<size_t>(end - out);
		if (terminal)
			flush_out();
	}
}
