// Benchmark: how fast the listener drains a full receive queue compared with
// a receive-and-discard floor, nc and socat run in the same process, plus
// its report latency and memory. Runs in a network namespace of its own.
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t kPort = 9888;
constexpr int kRounds = 9;
constexpr int kQueued = 200000;
constexpr size_t kDatagramSize = 80;
constexpr int kLatencySamples = 200;
constexpr auto kLatencyInterval = std::chrono::milliseconds(20);
constexpr long kBigQueue = 1L << 30;
const char *const kOutput = "/dev/shm/nmea-udp-listener-bench.out";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}

// The receiver running now, ended with the benchmark whatever happens.
pid_t running = -1;

void end_running()
{
	if (running > 0) {
		kill(running, SIGKILL);
		waitpid(running, nullptr, 0);
	}
	running = -1;
}

[[noreturn]] void die(const std::string &what)
{
	fprintf(stderr, "bench: %s: %s\n", what.c_str(), strerror(errno));
	exit(1);
}

// The receive queue limits are the host's own, so they are raised before the
// benchmark leaves the host's network namespace and written back on every
// exit path through descriptors opened there.
struct Limit {
	const char *path;
	int fd;
	std::string old;
};
Limit limits[] = {{"/proc/sys/net/core/rmem_max", -1, {}},
    {"/proc/sys/net/core/rmem_default", -1, {}}};

void restore_limits()
{
	for (auto &limit : limits) {
		if (limit.fd == -1)
			continue;
		if (pwrite(limit.fd, limit.old.data(), limit.old.size(), 0) == -1)
			(void)!write(STDERR_FILENO, "bench: could not restore a limit\n", 33);
		close(limit.fd);
		limit.fd = -1;
	}
}

void on_signal(int sig)
{
	if (running > 0)
		kill(running, SIGKILL);
	restore_limits();
	signal(sig, SIG_DFL);
	raise(sig);
}

bool raise_limits()
{
	for (auto &limit : limits) {
		std::ifstream in(limit.path);
		if (!(in >> limit.old))
			return false;
		const int fd = open(limit.path, O_WRONLY | O_CLOEXEC);
		if (fd == -1)
			return false;
		limit.fd = fd;
		const std::string big = std::to_string(kBigQueue);
		if (pwrite(fd, big.data(), big.size(), 0) == -1)
			return false;
	}
	return true;
}

std::string read_file(const std::string &path)
{
	std::ifstream file(path);
	std::stringstream text;
	text << file.rdbuf();
	return text.str();
}

struct QueueState {
	bool found = false;
	unsigned long bytes = 0;
	unsigned long drops = 0;
};

// The kernel's view of the socket bound to port 9888, IPv4 or IPv6.
QueueState queue_state()
{
	QueueState state;
	for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
		std::istringstream lines(read_file(table));
		std::string line;
		std::getline(lines, line);
		while (std::getline(lines, line)) {
			std::istringstream fields(line);
			std::string sl, local, remote, st, queues;
			fields >> sl >> local >> remote >> st >> queues;
			if (local.size() < 5 || local.substr(local.size() - 5) != ":26A0")
				continue;
			std::string word;
			std::vector<std::string> rest;
			while (fields >> word)
				rest.push_back(word);
			state.found = true;
			state.bytes = std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
			state.drops = rest.empty() ? 0 : std::stoul(rest.back());
		}
	}
	return state;
}

void wait_drained()
{
	while (queue_state().bytes != 0)
		std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void wait_bound()
{
	const auto start = Clock::now();
	while (!queue_state().found) {
		if (seconds_since(start) > 10) {
			fprintf(stderr, "bench: no receiver bound port %u\n", kPort);
			exit(1);
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
}

int udp_socket()
{
	const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (fd == -1)
		die("socket");
	return fd;
}

sockaddr_in loopback(uint16_t port)
{
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return addr;
}

void send_burst(int fd, int count, const std::string &payload)
{
	const sockaddr_in to = loopback(kPort);
	for (int i = 0; i < count; i++)
		if (sendto(fd, payload.data(), payload.size(), 0,
			reinterpret_cast<const sockaddr *>(&to), sizeof to) == -1)
			die("sendto");
}

// Starts `argv` with standard output on `out_fd`.
pid_t spawn(const std::vector<std::string> &argv, int out_fd)
{
	const pid_t pid = fork();
	if (pid == -1)
		die("fork");
	if (pid == 0) {
		dup2(out_fd, STDOUT_FILENO);
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execvp(args[0], args.data());
		_exit(127);
	}
	running = pid;
	return pid;
}

// The least any receiver of this design does: one recvfrom per datagram.
pid_t spawn_floor()
{
	const pid_t pid = fork();
	if (pid == -1)
		die("fork");
	if (pid == 0) {
		const int fd = udp_socket();
		const sockaddr_in any = [] {
			sockaddr_in a = loopback(kPort);
			a.sin_addr.s_addr = htonl(INADDR_ANY);
			return a;
		}();
		if (bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) == -1)
			_exit(1);
		char buf[513];
		for (;;) {
			sockaddr_in from{};
			socklen_t len = sizeof from;
			if (recvfrom(fd, buf, 512, 0, reinterpret_cast<sockaddr *>(&from), &len) >= 0)
				buf[0] = 0;
		}
	}
	running = pid;
	return pid;
}


struct Receiver {
	std::string name;
	std::function<pid_t(int)> start;
};

// Queues kQueued datagrams to a stopped receiver, then times its drain.
double drain_rate(const Receiver &receiver, int sender)
{
	const int out = open(kOutput, O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (out == -1)
		die(kOutput);
	const pid_t pid = receiver.start(out);
	close(out);
	wait_bound();
	kill(pid, SIGSTOP);
	const std::string payload(kDatagramSize - 2, 'x');
	send_burst(sender, kQueued, payload + "\r\n");
	const QueueState queued = queue_state();
	if (queued.drops != 0) {
		fprintf(stderr, "bench: %s dropped %lu datagrams while stopped\n",
		    receiver.name.c_str(), queued.drops);
		exit(1);
	}
	const auto start = Clock::now();
	kill(pid, SIGCONT);
	wait_drained();
	const double elapsed = seconds_since(start);
	end_running();
	unlink(kOutput);
	return kQueued / elapsed;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
	std::sort(v.begin(), v.end());
	return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void latency(const std::string &listener, int sender)
{
	int pipefd[2];
	if (pipe(pipefd) == -1)
		die("pipe");
	spawn({listener}, pipefd[1]);
	close(pipefd[1]);
	wait_bound();
	std::vector<double> micros;
	const std::string sentence = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
	sockaddr_in self{};
	socklen_t self_len = sizeof self;
	if (getsockname(sender, reinterpret_cast<sockaddr *>(&self), &self_len) == -1)
		die("getsockname");
	const std::string sender_name = "127.0.0.1:" + std::to_string(ntohs(self.sin_port));
	const size_t report_size = ("Received packet from " + sender_name + "\nData: " + sentence +
	    "\nreceive UDP : " + sentence + "\n").size();
	char buf[4096];
	for (int i = 0; i < kLatencySamples; i++) {
		const auto start = Clock::now();
		send_burst(sender, 1, sentence);
		size_t got = 0;
		while (got < report_size) {
			pollfd p{pipefd[0], POLLIN, 0};
			if (poll(&p, 1, 1000) != 1) {
				fprintf(stderr, "bench: no report within 1 s\n");
				exit(1);
			}
			const ssize_t n = read(pipefd[0], buf, sizeof buf);
			if (n <= 0)
				die("read");
			got += static_cast<size_t>(n);
		}
		micros.push_back(seconds_since(start) * 1e6);
		std::this_thread::sleep_until(start + kLatencyInterval);
	}
	end_running();
	close(pipefd[0]);
	printf("\nLatency, send to last report line read from a pipe (%d datagrams at %d Hz):\n",
	    kLatencySamples, static_cast<int>(1000 / kLatencyInterval.count()));
	printf("  p50 %.0f us   p99 %.0f us   max %.0f us\n", percentile(micros, 0.5),
	    percentile(micros, 0.99), *std::max_element(micros.begin(), micros.end()));
}

long status_kib(pid_t pid, const std::string &key)
{
	std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
	std::string word;
	long value = -1;
	while (status >> word)
		if (word == key + ":" && status >> value)
			return value;
	return -1;
}

// Sends `count` datagrams in bursts the queue can hold and waits for each drain.
void feed(int sender, int count, int burst)
{
	const std::string payload(kDatagramSize - 2, 'm');
	for (int sent = 0; sent < count; sent += burst) {
		send_burst(sender, std::min(burst, count - sent), payload + "\r\n");
		wait_drained();
	}
}

void memory(const std::string &listener, int sender, bool big_queue)
{
	const int out = open("/dev/null", O_WRONLY);
	const pid_t pid = spawn({listener}, out);
	wait_bound();
	const int burst = big_queue ? 100000 : 100;
	feed(sender, 10, burst);
	const long after_10 = status_kib(pid, "VmHWM");
	feed(sender, 1000000 - 10, burst);
	const long after_million = status_kib(pid, "VmHWM");
	end_running();

	// valgrind counts every allocation; the difference between two runs is
	// what the extra datagrams cost.
	auto allocations = [&](int datagrams) {
		const std::string log = "/dev/shm/nmea-udp-listener-bench.vg";
		const pid_t vg = spawn({"valgrind", "--log-file=" + log, listener}, out);
		wait_bound();
		feed(sender, datagrams, 100);
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		kill(vg, SIGTERM);
		waitpid(vg, nullptr, 0);
		running = -1;
		const std::string text = read_file(log);
		unlink(log.c_str());
		std::smatch m;
		if (!std::regex_search(text, m, std::regex("total heap usage: ([0-9,]+) allocs")))
			return -1L;
		std::string digits = m[1];
		digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
		return std::stol(digits);
	};
	const long few = allocations(10);
	const long many = allocations(10010);
	close(out);

	printf("\nMemory (output to /dev/null):\n");
	printf("  peak RSS after 10 datagrams:        %ld KiB\n", after_10);
	printf("  peak RSS after 1,000,000 datagrams: %ld KiB\n", after_million);
	if (few < 0 || many < 0)
		printf("  heap allocations per datagram: unavailable (valgrind not found)\n");
	else
		printf("  heap allocations per datagram: %.4f (%ld allocations in all after 10, %ld after 10,010)\n",
		    static_cast<double>(many - few) / 10000, few, many);
}

void print_machine()
{
	utsname u{};
	uname(&u);
	std::string cpu = "unknown CPU";
	std::istringstream info(read_file("/proc/cpuinfo"));
	for (std::string line; std::getline(info, line);)
		if (line.rfind("model name", 0) == 0) {
			cpu = line.substr(line.find(':') + 2);
			break;
		}
	long mem_kib = 0;
	std::istringstream meminfo(read_file("/proc/meminfo"));
	std::string key;
	meminfo >> key >> mem_kib;
	printf("Machine: %s, %u cores, %.0f GiB, %s %s %s\n", cpu.c_str(),
	    std::thread::hardware_concurrency(), static_cast<double>(mem_kib) / (1 << 20), u.sysname,
	    u.release, u.machine);
}

} // namespace

int main(int argc, char **argv)
{
	// Another build of the listener can be measured by naming it.
	const std::string listener = argc > 1 ? argv[1] : LISTENER_PATH;
	print_machine();
	printf("Listener: %s\n", listener.c_str());
	atexit(restore_limits);
	atexit(end_running);
	signal(SIGINT, on_signal);
	signal(SIGTERM, on_signal);
	for (const int sig : {SIGHUP, SIGPIPE, SIGQUIT, SIGSEGV, SIGABRT})
		signal(sig, on_signal);
	const bool big_queue = raise_limits();
	if (!big_queue)
		restore_limits();
	if (unshare(CLONE_NEWNET) == -1)
		die("unshare (run as root)");
	if (system("ip link set lo up") != 0)
		die("ip link set lo up");

	const int sender = udp_socket();
	const sockaddr_in from = loopback(0);
	if (bind(sender, reinterpret_cast<const sockaddr *>(&from), sizeof from) == -1)
		die("bind");

	std::vector<Receiver> receivers = {
	    {"listener", [&](int out) { return spawn({listener}, out); }},
	    {"floor (recvfrom only)", [](int) { return spawn_floor(); }},
	};
	if (system("command -v nc >/dev/null") == 0)
		receivers.push_back({"nc -klu 9888", [](int out) {
			return spawn({"nc", "-klu", std::to_string(kPort)}, out);
		}});
	if (system("command -v socat >/dev/null") == 0)
		receivers.push_back({"socat -u UDP-RECV:9888 -", [](int out) {
			return spawn({"socat", "-u", "UDP-RECV:" + std::to_string(kPort), "-"}, out);
		}});

	if (big_queue) {
		printf("Raised the host's net.core.rmem_default and net.core.rmem_max to %ld for "
		       "this run; they are restored on exit.\n",
		    kBigQueue);
		printf("\nDrain rate: %d datagrams of %zu bytes queued to a stopped receiver, "
		       "output to %s; median of %d interleaved rounds\n",
		    kQueued, kDatagramSize, kOutput, kRounds);
		std::map<std::string, std::vector<double>> rates;
		for (int round = 0; round < kRounds; round++)
			for (const auto &r : receivers)
				rates[r.name].push_back(drain_rate(r, sender));
		printf("  %-28s %14s %14s %14s\n", "receiver", "median /s", "min /s", "max /s");
		for (const auto &r : receivers) {
			const auto &v = rates[r.name];
			printf("  %-28s %14.0f %14.0f %14.0f\n", r.name.c_str(), median(v),
			    *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
		}
		const double mine = median(rates["listener"]);
		printf("  listener / floor: %.2f\n", mine / median(rates["floor (recvfrom only)"]));
		if (rates.count("nc -klu 9888"))
			printf("  listener / nc:    %.2f\n", mine / median(rates["nc -klu 9888"]));
		if (rates.count("socat -u UDP-RECV:9888 -"))
			printf("  listener / socat: %.2f\n", mine / median(rates["socat -u UDP-RECV:9888 -"]));
	} else {
		printf("Drain rate: unavailable (net.core.rmem_default/rmem_max could not be raised; "
		       "run as root)\n");
	}
	fflush(stdout);

	latency(listener, sender);
	memory(listener, sender, big_queue);
	return 0;
}
