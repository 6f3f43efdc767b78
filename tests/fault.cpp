// Preloaded into the listener by the tests to break one thing on demand:
// LISTENER_FAULT=socket fails socket creation; =recv fails the first receive
// that took a datagram, so that datagram is never delivered; =recv-stuck
// fails every receive after the first datagram was delivered; =close-stdout
// starts the listener with standard output closed.
#include <sys/types.h>
#include <sys/socket.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool fault_is(const char *name)
{
	const char *fault = getenv("LISTENER_FAULT");
	return fault != nullptr && strcmp(fault, name) == 0;
}

__attribute__((constructor)) void close_stdout()
{
	if (fault_is("close-stdout"))
		close(STDOUT_FILENO);
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

extern "C" ssize_t recvfrom(int fd, void *buf, size_t len, int flags, sockaddr *from,
    socklen_t *fromlen)
{
	static bool failed;
	static bool delivered;
	if (delivered && fault_is("recv-stuck")) {
		errno = EIO;
		return -1;
	}
	using recvfrom_fn = ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *);
	auto real = reinterpret_cast<recvfrom_fn>(dlsym(RTLD_NEXT, "recvfrom"));
	const ssize_t n = real(fd, buf, len, flags, from, fromlen);
	if (n >= 0 && !failed && fault_is("recv")) {
		failed = true;
		errno = EIO;
		return -1;
	}
	delivered = delivered || n >= 0;
	return n;
}
