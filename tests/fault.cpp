// Preloaded into the listener by the tests to break one thing on demand,
// named by LISTENER_FAULT:
//   socket          socket creation fails
//   recv            the first receive that took a datagram fails, so that
//                   datagram is never delivered
//   recv-alternate  the same for every second datagram taken
//   recv-stuck      every receive after the first datagram fails
//   recv-heals      the 20 receives after the first datagram fail
//   stop-mid-burst  SIGTERM arrives as the third datagram is taken
//   timer           no timer can be created
// or starts it the way a careless parent might:
//   close-stdout, close-stderr   with that descriptor closed
//   ignore-hup      with SIGHUP ignored (nohup)
//   block-signals   with SIGTERM, SIGINT, SIGHUP, SIGALRM and the first
//                   real-time signal blocked
//   pending-alarm   the same, with SIGALRM and that signal pending
//   ignore-alarm    with SIGALRM ignored
//   alarm, itimer   with alarm(1), or a repeating 100 ms ITIMER_REAL, set
//   fsize           under a file-size limit of 64 bytes
#include <sys/types.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

bool fault_is(const char *name)
{
	const char *fault = getenv("LISTENER_FAULT");
	return fault != nullptr && strcmp(fault, name) == 0;
}

__attribute__((constructor)) void start_badly()
{
	if (fault_is("close-stdout"))
		close(STDOUT_FILENO);
	if (fault_is("close-stderr"))
		close(STDERR_FILENO);
	if (fault_is("ignore-hup"))
		signal(SIGHUP, SIG_IGN);
	if (fault_is("block-signals") || fault_is("pending-alarm")) {
		sigset_t set;
		sigemptyset(&set);
		for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGRTMIN})
			sigaddset(&set, sig);
		sigprocmask(SIG_BLOCK, &set, nullptr);
	}
	if (fault_is("ignore-alarm"))
		signal(SIGALRM, SIG_IGN);
	if (fault_is("pending-alarm")) {
		raise(SIGALRM);
		raise(SIGRTMIN);
	}
	if (fault_is("alarm"))
		alarm(1);
	const itimerval every{{0, 100000}, {0, 100000}};
	if (fault_is("itimer"))
		setitimer(ITIMER_REAL, &every, nullptr);
	if (fault_is("fsize")) {
		const rlimit limit{64, 64};
		setrlimit(RLIMIT_FSIZE, &limit);
	}
}

} // namespace

extern "C" int socket(int domain, int type, int protocol)
{
	if (fault_is("socket")) {
		errno = EMFILE;
		return -1;
	}
	using socket_fn = int (*)(int, int, int);
	auto real = reinterpret_cast<socket_fn>(dlsym(RTLD_NEXT, "socket"));
	return real(domain, type, protocol);
}

extern "C" int timer_create(clockid_t clock, sigevent *event, timer_t *timer)
{
	if (fault_is("timer")) {
		errno = EAGAIN;
		return -1;
	}
	using timer_create_fn = int (*)(clockid_t, sigevent *, timer_t *);
	auto real = reinterpret_cast<timer_create_fn>(dlsym(RTLD_NEXT, "timer_create"));
	return real(clock, event, timer);
}

extern "C" ssize_t recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from,
    socklen_t *fromlen)
{
	static long taken;
	static int stuck = fault_is("recv-stuck") ? INT_MAX : fault_is("recv-heals") ? 20 : 0;
	if (taken > 0 && stuck > 0) {
		stuck--;
		errno = EIO;
		return -1;
	}
	using recvfrom_fn = ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *);
	auto real = reinterpret_cast<recvfrom_fn>(dlsym(RTLD_NEXT, "recvfrom"));
	const ssize_t n = real(fd, buf, len, flags, from, fromlen);
	if (n < 0)
		return n;
	taken++;
	if ((taken == 1 && fault_is("recv")) || (taken % 2 == 0 && fault_is("recv-alternate"))) {
		errno = EIO;
		return -1;
	}
	if (taken == 3 && fault_is("stop-mid-burst"))
		raise(SIGTERM);
	return n;
}
