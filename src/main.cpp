// nmea-udp-listener: reports every UDP datagram sent to port 9888 on standard output.
#include <sys/types.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "visible.hpp"

namespace {

constexpr unsigned short kPort = 9888;
constexpr size_t kMaxPayload = 512;
// Under a burst, reports leave in writes of up to this size; bigger bought
// no measurable speed, only memory.
constexpr size_t kOutputSize = size_t{16} * 1024;
constexpr size_t kVisibleMax = kMaxPayload * kVisibleGrowth;
constexpr char kSecondLabel[] = "\nreceive UDP : ";
// Room for "Received packet from 255.255.255.255:65535\nData: ".
constexpr size_t kHeaderMax = 64;
constexpr size_t kReportMax = kHeaderMax + 2 * kVisibleMax + sizeof kSecondLabel;
static_assert(kReportMax <= kOutputSize, "a whole report must fit the output buffer");
// EX_IOERR: the reports can no longer be written anywhere.
constexpr int kExitOutputLost = 74;
// After a stop signal, how long a reader that stopped reading may hold up
// the end before the unwritten reports are given up.
constexpr time_t kStopGraceSeconds = 1;
// Once the grace is over, a timer wakes any blocked call this often, in case
// it went off just before a write blocked.
constexpr long kStopTickNs = 100000000;
// Signals that stop the listener once what it received is written out.
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
// Longest pause between receives that keep failing.
constexpr int kBackoffMaxMs = 100;

char payload[kMaxPayload + 1];
char visible[kVisibleMax];
// Reports collect here and go out in one write when it is full or when the
// listener is about to sleep; on a terminal, after every report.
char out[kOutputSize];
size_t out_len;
bool terminal;

volatile sig_atomic_t stop_signal;
// Set before stop_signal, read only once it is set.
timespec stop_deadline;
// The stop's own timer, on a real-time signal: SIGALRM and ITIMER_REAL stay
// the parent's, so that `alarm` or `timeout -s ALRM` end the listener as
// they end any program.
timer_t stop_timer;

// Only interrupts a blocked call: what counts is the deadline.
void on_tick(int) {}

void on_stop(int sig)
{
	if (stop_signal != 0)
		return;
	// The deadline is kept on the monotonic clock, not in the timer, so
	// neither a stray SIGALRM nor a second stop signal can move it.
	(void)clock_gettime(CLOCK_MONOTONIC, &stop_deadline);
	stop_deadline.tv_sec += kStopGraceSeconds;
	stop_signal = sig;
	// From here on a stray SIGALRM must not cut the write-out short. It is
	// held off while this handler runs, so one cannot slip in before this.
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = on_tick;
	(void)sigaction(SIGALRM, &sa, nullptr);
	// The timer wakes a write blocked on a reader that stopped reading, and
	// a receive entered just after the loop last looked at the flag.
	const itimerspec timer{{0, kStopTickNs}, {kStopGraceSeconds, 0}};
	(void)timer_settime(stop_timer, 0, &timer, nullptr);
}

bool past_stop_deadline()
{
	timespec now;
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec > stop_deadline.tv_sec ||
	    (now.tv_sec == stop_deadline.tv_sec && now.tv_nsec >= stop_deadline.tv_nsec);
}

// A start-up failure: one line saying why, then status 1.
[[noreturn]] void give_up(const char *why)
{
	puts(why);
	exit(1);
}

[[noreturn]] void end_by_stop_signal()
{
	(void)signal(stop_signal, SIG_DFL);
	(void)raise(stop_signal);
	// Only if the signal is blocked, which unblocking it at start rules out.
	// cppcheck-suppress unreachableCode
	_exit(128 + stop_signal);
}

// A closed standard descriptor would be taken by the socket, and reports
// written into it.
void open_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		if (open("/dev/null", O_RDWR) != fd)
			give_up("Server : Can't open /dev/null");
	}
}

int open_socket()
{
	const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (fd == -1)
		give_up("Server : socket create error");

	sockaddr_in local;
	memset(&local, 0, sizeof local);
	local.sin_family = AF_INET;
	local.sin_port = htons(kPort);
	local.sin_addr.s_addr = htonl(INADDR_ANY);
	if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1)
		give_up("Server : Can't bind local address");
	return fd;
}

// Without SA_RESTART, so that a blocked receive or write returns and the
// loop sees the flag. A signal ignored at start (nohup, a background job)
// stays ignored; one blocked by whoever started us is unblocked, or it
// could not stop us, or end the grace. Every handler is in place before
// anything is unblocked, so that a signal pending since the start goes the
// same way as one that comes later.
void catch_stop_signals()
{
	constexpr char kCantCatch[] = "Server : Can't catch the stop signals";
	const int tick = SIGRTMIN;
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	for (const int sig : kStopSignals)
		sigaddset(&sa.sa_mask, sig);
	sigset_t handled = sa.sa_mask;
	sigaddset(&handled, tick);
	sigaddset(&sa.sa_mask, SIGALRM);

	sa.sa_handler = on_tick;
	if (sigaction(tick, &sa, nullptr) == -1)
		give_up(kCantCatch);
	sigevent event;
	memset(&event, 0, sizeof event);
	event.sigev_notify = SIGEV_SIGNAL;
	event.sigev_signo = tick;
	// A seccomp filter without timers, or the queued-signals limit, can
	// refuse it.
	if (timer_create(CLOCK_MONOTONIC, &event, &stop_timer) == -1)
		give_up("Server : Can't create the stop timer");
	// A file-size limit is output that cannot be written: EFBIG, not a
	// core dump.
	sa.sa_handler = SIG_IGN;
	if (sigaction(SIGXFSZ, &sa, nullptr) == -1)
		give_up(kCantCatch);

	sa.sa_handler = on_stop;
	for (const int sig : kStopSignals) {
		struct sigaction old;
		if (sigaction(sig, nullptr, &old) == -1)
			give_up(kCantCatch);
		if (old.sa_handler == SIG_IGN)
			continue;
		if (sigaction(sig, &sa, nullptr) == -1)
			give_up(kCantCatch);
	}

	if (sigprocmask(SIG_UNBLOCK, &handled, nullptr) == -1)
		give_up(kCantCatch);
}

// Writes what has collected. Output that cannot be written any more ends
// the listener: continuing would lose every later report unseen, or glue
// the next one to a cut one.
void flush_out()
{
	size_t done = 0;
	while (done < out_len) {
		const ssize_t n = write(STDOUT_FILENO, out + done, out_len - done);
		const int error = n == -1 ? errno : 0;
		if (n >= 0) {
			done += static_cast<size_t>(n);
		} else if (error != EINTR && error != EAGAIN) {
			exit(kExitOutputLost);
		}
		// A write cut short by a signal returns what it wrote, not EINTR, so
		// every write after a stop looks at the deadline.
		if (done < out_len && stop_signal != 0 && past_stop_deadline())
			end_by_stop_signal();
		if (error == EAGAIN) {
			pollfd p{STDOUT_FILENO, POLLOUT, 0};
			(void)poll(&p, 1, -1);
		}
	}
	out_len = 0;
}

// A receive that keeps failing must not spin; the reports already made go
// out before the pause.
void back_off(int failures)
{
	flush_out();
	const int ms = failures < 7 ? 1 << failures : kBackoffMaxMs;
	(void)poll(nullptr, 0, ms);
}

// Takes the next datagram into `payload`; returns its length, or -1 when a
// stop signal came or the receive failed.
ssize_t receive(int fd, sockaddr_in &peer)
{
	static int failures;
	socklen_t peerlen = sizeof peer;
	ssize_t n = recvfrom(fd, payload, kMaxPayload, MSG_DONTWAIT,
	    reinterpret_cast<sockaddr *>(&peer), &peerlen);
	if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
		// Nothing is waiting: hand every report to the reader before
		// sleeping, or the tail of a run sits unseen.
		flush_out();
		if (stop_signal != 0)
			return -1;
		peerlen = sizeof peer;
		n = recvfrom(fd, payload, kMaxPayload, 0,
		    reinterpret_cast<sockaddr *>(&peer), &peerlen);
	}
	if (n != -1 || errno == EINTR) {
		failures = 0;
	} else if (errno != EAGAIN && errno != EWOULDBLOCK) {
		back_off(failures++);
	}
	return n;
}

void add_report(const sockaddr_in &peer, size_t len)
{
	// The first line depends only on the sender, which is usually the same
	// gateway every time, so it is formatted again only when that changes.
	static sockaddr_in last;
	static char header[kHeaderMax];
	static size_t header_len;
	if (header_len == 0 || peer.sin_addr.s_addr != last.sin_addr.s_addr ||
	    peer.sin_port != last.sin_port) {
		const int hlen = snprintf(header, sizeof header, "Received packet from %s:%u\nData: ",
		    inet_ntoa(peer.sin_addr), static_cast<unsigned>(ntohs(peer.sin_port)));
		header_len = static_cast<size_t>(hlen);
		last = peer;
	}

	// The payload is text: it ends at its first zero byte.
	payload[len] = '\0';
	const char *text = payload;
	size_t text_len = strlen(payload);
	if (terminal) {
		text_len = make_visible(payload, text_len, visible);
		text = visible;
	}
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

} // namespace

int main()
{
	open_standard_descriptors();
	const int fd = open_socket();
	terminal = isatty(STDOUT_FILENO) == 1;
	catch_stop_signals();

	sockaddr_in peer;
	while (stop_signal == 0) {
		const ssize_t n = receive(fd, peer);
		if (n >= 0)
			add_report(peer, static_cast<size_t>(n));
	}
	// Every datagram taken off the socket has its report; write them out.
	flush_out();
	end_by_stop_signal();
}
