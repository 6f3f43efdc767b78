// Runs the real listener in this test's own network namespace and collects
// everything it writes.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ListenerOptions {
	std::vector<std::string> args;
	// What the preloaded shim breaks, such as "socket" (see fault.cpp).
	std::string fault;
	// Standard output on a pseudo-terminal instead of a pipe.
	bool terminal = false;
	// A one-page, non-blocking pipe, so that writes come back short or
	// with EAGAIN.
	bool cramped_pipe = false;
	// Standard output on this descriptor instead of the harness's pipe.
	int output_fd = -1;
};

class Listener {
public:
	explicit Listener(const ListenerOptions &options = {});
	~Listener();
	Listener(const Listener &) = delete;
	Listener &operator=(const Listener &) = delete;

	// True once port 9888 is bound, false if the process ended or 10 s passed.
	bool wait_bound();
	// Waits until at least `bytes` of output arrived or `seconds` passed.
	std::string wait_output(size_t bytes, double seconds);
	// Waits until the output ends with `suffix` or `seconds` passed.
	std::string wait_output_ending(const std::string &suffix, double seconds);
	// Ends the process with SIGTERM and returns its wait status.
	int stop();
	// Waits for the process to end by itself; -1 if it has not after `seconds`.
	int wait_exit(double seconds);
	bool running();
	long rss_kib() const;
	// Write calls made so far (syscw of /proc/PID/io).
	long writes() const;
	// CPU time used so far, in clock ticks.
	long cpu_ticks() const;
	// Times it went to sleep so far (voluntary context switches).
	long wakeups() const;

	std::string output();
	std::string errors();
	pid_t pid() const { return pid_; }

private:
	void read_until_closed(int out, int err);

	pid_t pid_ = -1;
	int status_ = -1;
	std::thread reader_;
	std::mutex mutex_;
	std::condition_variable changed_;
	std::string out_;
	std::string err_;
	bool closed_ = false;
};

// The three lines the listener writes for one datagram.
std::string report(const std::string &sender, const std::string &data);

// Sends one datagram to the listener from `src`:`port` (port 0: any).
void send_datagram(const std::string &payload, const char *src = "127.0.0.1",
    uint16_t port = 0, const char *dst = "127.0.0.1");

// Runs a shell command and fails the test if it does not succeed.
void sh(const std::string &command);

constexpr uint16_t kListenerPort = 9888;
