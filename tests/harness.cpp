#include "harness.hpp"

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds)
{
	return Clock::now() + std::chrono::duration_cast<Clock::duration>(
	    std::chrono::duration<double>(seconds));
}

// A case that skipped would test nothing: without its namespaces every case
// fails, with what it needs.
[[noreturn]] void cannot_set_up(const std::string &what)
{
	fprintf(stderr, "cannot make the test's network namespace (%s): the tests need root on "
	    "the host, or a container run with --privileged or --cap-add SYS_ADMIN\n", what.c_str());
	exit(1);
}

void write_file(const char *path, const std::string &text)
{
	std::ofstream file(path);
	file << text;
	if (!file.flush())
		cannot_set_up(std::string("write ") + path);
}

// Port 9888 is fixed, so every test process gets a network namespace of its
// own, and a mount namespace for the file systems it makes. Where we lack
// CAP_SYS_ADMIN, a user namespace gives it to us.
class NamespaceEnvironment : public testing::Environment {
public:
	void SetUp() override
	{
		const uid_t uid = geteuid();
		const gid_t gid = getegid();
		if (uid != 0 || unshare(CLONE_NEWNET | CLONE_NEWNS) == -1) {
			if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) == -1)
				cannot_set_up(std::string("unshare: ") + strerror(errno));
			write_file("/proc/self/setgroups", "deny");
			write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
			write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
		}
		if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
			cannot_set_up(std::string("mount: ") + strerror(errno));
		// Senders bind to these to play hosts with other addresses.
		for (const char *command : {"ip link set lo up", "ip addr add 192.0.2.7/32 dev lo",
			 "ip addr add 203.0.113.5/32 dev lo"})
			if (system(command) != 0)
				cannot_set_up(command);
	}
};

const auto *const environment =
    testing::AddGlobalTestEnvironment(new NamespaceEnvironment);

[[noreturn]] void exec_listener(const ListenerOptions &options)
{
	std::vector<std::string> words;
	// LISTENER_WRAPPER runs the listener under a tool such as valgrind.
	if (const char *wrapper = getenv("LISTENER_WRAPPER")) {
		std::istringstream split(wrapper);
		for (std::string word; split >> word;)
			words.push_back(word);
	}
	// LISTENER runs another build, such as the one a package installed.
	const char *listener = getenv("LISTENER");
	words.push_back(listener != nullptr ? listener : LISTENER_PATH);
	words.insert(words.end(), options.args.begin(), options.args.end());
	if (!options.fault.empty()) {
		setenv("LD_PRELOAD", FAULT_SHIM_PATH, 1);
		setenv("LISTENER_FAULT", options.fault.c_str(), 1);
		// The sanitizer runtime otherwise insists on being loaded first.
		setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
	}
	std::vector<char *> argv;
	for (auto &word : words)
		argv.push_back(word.data());
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

} // namespace

Listener::Listener(const ListenerOptions &options)
{
	int out[2];
	int err[2];
	if (options.terminal) {
		termios raw{};
		cfmakeraw(&raw);
		if (openpty(&out[0], &out[1], nullptr, &raw, nullptr) == -1)
			throw std::runtime_error("openpty failed");
		fcntl(out[0], F_SETFD, FD_CLOEXEC);
		fcntl(out[1], F_SETFD, FD_CLOEXEC);
	} else if (pipe2(out, O_CLOEXEC) == -1) {
		throw std::runtime_error("pipe failed");
	}
	if (options.cramped_pipe &&
	    (fcntl(out[1], F_SETPIPE_SZ, 4096) == -1 || fcntl(out[1], F_SETFL, O_NONBLOCK) == -1))
		throw std::runtime_error("cannot cramp the pipe");
	if (pipe2(err, O_CLOEXEC) == -1)
		throw std::runtime_error("pipe failed");

	pid_ = fork();
	if (pid_ == -1)
		throw std::runtime_error("fork failed");
	if (pid_ == 0) {
		const int null = open("/dev/null", O_RDONLY);
		dup2(null, STDIN_FILENO);
		dup2(options.output_fd != -1 ? options.output_fd : out[1], STDOUT_FILENO);
		dup2(err[1], STDERR_FILENO);
		exec_listener(options);
	}
	close(out[1]);
	close(err[1]);
	reader_ = std::thread(&Listener::read_until_closed, this, out[0], err[0]);
}

Listener::~Listener()
{
	if (status_ == -1) {
		kill(pid_, SIGKILL);
		waitpid(pid_, &status_, 0);
	}
	if (reader_.joinable())
		reader_.join();
}

void Listener::read_until_closed(int out, int err)
{
	pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
	std::string *sinks[2] = {&out_, &err_};
	int open_fds = 2;
	char buf[65536];
	while (open_fds > 0) {
		if (poll(fds, 2, -1) == -1) {
			if (errno == EINTR)
				continue;
			break;
		}
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			const ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				std::lock_guard<std::mutex> lock(mutex_);
				sinks[i]->append(buf, static_cast<size_t>(n));
				changed_.notify_all();
			} else if (n == 0 || errno != EINTR) {
				// A pseudo-terminal reports its closed end with EIO.
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			}
		}
	}
	std::lock_guard<std::mutex> lock(mutex_);
	closed_ = true;
	changed_.notify_all();
}

bool Listener::wait_bound()
{
	// Port 9888 in the kernel's table of UDP sockets, as "0.0.0.0:26A0".
	const auto deadline = deadline_after(10);
	while (Clock::now() < deadline) {
		std::ifstream table("/proc/net/udp");
		std::string line;
		while (std::getline(table, line))
			if (line.find(":26A0 ") != std::string::npos &&
			    line.find(":26A0 ") < 20)
				return true;
		if (!running())
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return false;
}

std::string Listener::wait_output(size_t bytes, double seconds)
{
	std::unique_lock<std::mutex> lock(mutex_);
	changed_.wait_until(lock, deadline_after(seconds),
	    [&] { return out_.size() >= bytes || closed_; });
	return out_;
}

std::string Listener::wait_output_ending(const std::string &suffix, double seconds)
{
	std::unique_lock<std::mutex> lock(mutex_);
	changed_.wait_until(lock, deadline_after(seconds), [&] {
		return closed_ || (out_.size() >= suffix.size() &&
		    out_.compare(out_.size() - suffix.size(), suffix.size(), suffix) == 0);
	});
	return out_;
}

int Listener::stop()
{
	if (status_ == -1) {
		kill(pid_, SIGTERM);
		waitpid(pid_, &status_, 0);
	}
	reader_.join();
	return status_;
}

int Listener::wait_exit(double seconds)
{
	const auto deadline = deadline_after(seconds);
	while (status_ == -1 && Clock::now() < deadline) {
		if (waitpid(pid_, &status_, WNOHANG) == pid_)
			break;
		status_ = -1;
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	if (status_ == -1)
		return -1;
	reader_.join();
	return status_;
}

bool Listener::running()
{
	if (status_ != -1)
		return false;
	if (waitpid(pid_, &status_, WNOHANG) == pid_)
		return false;
	status_ = -1;
	return true;
}

// The value after `key` in a "key value" file of /proc/PID.
long proc_value(pid_t pid, const char *file, const char *key)
{
	std::ifstream status("/proc/" + std::to_string(pid) + "/" + file);
	std::string word;
	long value = -1;
	while (status >> word)
		if (word == key && status >> value)
			return value;
	return -1;
}

long Listener::rss_kib() const
{
	return proc_value(pid_, "status", "VmRSS:");
}

long Listener::writes() const
{
	return proc_value(pid_, "io", "syscw:");
}

long Listener::wakeups() const
{
	return proc_value(pid_, "status", "voluntary_ctxt_switches:");
}

long Listener::cpu_ticks() const
{
	// Fields 14 and 15 of /proc/PID/stat, after the name in parentheses.
	std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
	std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
	std::istringstream fields(text.substr(text.rfind(')') + 2));
	std::string skip;
	for (int i = 3; i < 14; i++)
		fields >> skip;
	long user = 0;
	long system = 0;
	fields >> user >> system;
	return fields ? user + system : -1;
}

std::string Listener::output()
{
	std::lock_guard<std::mutex> lock(mutex_);
	return out_;
}

std::string Listener::errors()
{
	std::lock_guard<std::mutex> lock(mutex_);
	return err_;
}

std::string report(const std::string &sender, const std::string &data)
{
	return "Received packet from " + sender + "\nData: " + data + "\nreceive UDP : " +
	    data + "\n";
}

void send_datagram(const std::string &payload, const char *src, uint16_t port, const char *dst)
{
	const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	ASSERT_NE(fd, -1) << strerror(errno);
	const int on = 1;
	ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
	sockaddr_in from{};
	from.sin_family = AF_INET;
	from.sin_port = htons(port);
	ASSERT_EQ(inet_pton(AF_INET, src, &from.sin_addr), 1) << src;
	ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from), 0)
	    << src << ":" << port << ": " << strerror(errno);
	sockaddr_in to{};
	to.sin_family = AF_INET;
	to.sin_port = htons(kListenerPort);
	ASSERT_EQ(inet_pton(AF_INET, dst, &to.sin_addr), 1) << dst;
	const ssize_t sent = sendto(fd, payload.data(), payload.size(), 0,
	    reinterpret_cast<sockaddr *>(&to), sizeof to);
	EXPECT_EQ(sent, static_cast<ssize_t>(payload.size())) << strerror(errno);
	close(fd);
}

void sh(const std::string &command)
{
	const int status = system(command.c_str());
	ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}
