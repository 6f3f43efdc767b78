// Preloaded into the listener by the tests to make one call fail on demand.
// LISTENER_FAULT=socket fails socket creation; LISTENER_FAULT=recv fails the
// first receive that took a datagram, so that datagram is never delivered.
#include <sys/types.h>
#include <sys/socket.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool fault_is(const char *name)
{
	const char *fault = getenv("LISTENER_FAULT");
	return fault != nullptr && strcmp(fault, name) == 0;
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
	using recvfrom_fn = ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *);
	auto real = reinterpret_cast<recvfrom_fn>(dlsym(RTLD_NEXT, "recvfrom"));
	const ssize_t n = real(fd, buf, len, flags, from, fromlen);
	if (n >= 0 && !failed && fault_is("recv")) {
		failed = true;
		errno = EIO;
		return -1;
	}
	return n;
}
