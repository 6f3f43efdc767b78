// Robustness: random payloads against a model, a flood, signals mid-run, and
// output, receives and descriptors that fail.
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

constexpr size_t kReceiveLimit = 512;
// EX_IOERR: the listener's status when its output can no longer be written.
constexpr int kOutputLost = 74;

bool exited_with(int status, int code)
{
	return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool killed_by(int status, int sig)
{
	return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

// Reads until end of file, or until `limit` bytes came.
std::string read_all(int fd, size_t limit = SIZE_MAX)
{
	std::string text;
	char buf[4096];
	for (ssize_t n; text.size() < limit &&
	     (n = read(fd, buf, std::min(sizeof buf, limit - text.size()))) > 0;)
		text.append(buf, static_cast<size_t>(n));
	return text;
}

// What a report shows of a payload: its first 512 bytes, up to a zero byte.
std::string shown(const std::string &payload)
{
	const std::string head = payload.substr(0, kReceiveLimit);
	return head.substr(0, head.find('\0'));
}

TEST(RandomPayloads, EveryReportMatchesTheModel)
{
	constexpr unsigned kSeed = 20261208;
	constexpr int kBatches = 100;
	constexpr int kPerBatch = 50;
	SCOPED_TRACE("seed " + std::to_string(kSeed));
	std::mt19937 rng(kSeed);
	std::uniform_int_distribution<int> length(0, 1500);
	std::uniform_int_distribution<int> byte(0, 255);
	std::uniform_int_distribution<int> kind(0, 999);
	std::uniform_int_distribution<int> port(1, 65535);

	Listener listener;
	ASSERT_TRUE(listener.wait_bound());
	std::string expected;
	for (int batch = 0; batch < kBatches; batch++) {
		for (int i = 0; i < kPerBatch; i++) {
			std::string payload(static_cast<size_t>(length(rng)), ' ');
			for (auto &c : payload) {
				// Mostly any byte; CR, LF and rare zero bytes mixed in.
				const int k = kind(rng);
				c = static_cast<char>(k < 2 ? 0 : k < 40 ? '\r' : k < 80 ? '\n' : byte(rng));
			}
			uint16_t from = static_cast<uint16_t>(port(rng));
			if (from == kListenerPort)
				from++;
			send_datagram(payload, "127.0.0.1", from);
			expected += report("127.0.0.1:" + std::to_string(from), shown(payload));
		}
		// Wait for each batch so the socket's queue never overflows.
		const std::string out = listener.wait_output(expected.size(), 10);
		ASSERT_EQ(out.size(), expected.size()) << "batch " << batch;
		ASSERT_TRUE(out == expected) << "batch " << batch << ": first difference at byte "
					     << std::mismatch(out.begin(), out.end(), expected.begin()).first -
			out.begin();
	}
	listener.stop();
	EXPECT_EQ(listener.errors(), "");
}

TEST(Flood, ListenerSurvivesAndMemoryStaysFlat)
{
	constexpr int kFlood = 1000000;
	constexpr auto kFloodTime = std::chrono::seconds(20);
	Listener listener;
	ASSERT_TRUE(listener.wait_bound());

	// Warm up with bursts of full-size payloads, each more than the output
	// buffer holds, so every buffer has been touched.
	const std::string full(kReceiveLimit, 'W');
	std::string expected;
	for (int i = 0; i < 300; i++) {
		send_datagram(full, "127.0.0.1", 5000);
		expected += report("127.0.0.1:5000", full);
		if (i % 100 == 99) {
			ASSERT_EQ(listener.wait_output(expected.size(), 10).size(), expected.size());
		}
	}
	const long rss_before = listener.rss_kib();

	const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	ASSERT_NE(fd, -1);
	sockaddr_in from{};
	from.sin_family = AF_INET;
	from.sin_port = htons(5001);
	from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
	sockaddr_in to = from;
	to.sin_port = htons(kListenerPort);
	const std::string sentence = "!AIVDM,1,1,,A,13aEOK?P00PD2wVMdLDRhgvL289?,0*26\r\n";
	const auto deadline = std::chrono::steady_clock::now() + kFloodTime;
	int sent = 0;
	for (; sent < kFlood && std::chrono::steady_clock::now() < deadline; sent++) {
		if (sendto(fd, sentence.data(), sentence.size(), 0,
			reinterpret_cast<sockaddr *>(&to), sizeof to) == -1)
			break;
	}
	close(fd);
	std::cout << "flood: sent " << sent << " datagrams\n";
	EXPECT_GT(sent, kFlood / 10);

	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	const std::string marker = report("192.0.2.7:5002", "MARKER");
	send_datagram("MARKER", "192.0.2.7", 5002);
	const std::string out = listener.wait_output_ending(marker, 60);
	EXPECT_TRUE(listener.running());
	const long rss_after = listener.rss_kib();
	std::cout << "flood: RSS " << rss_before << " KiB before, " << rss_after << " KiB after\n";
	EXPECT_LE(rss_after, rss_before + 16) << "RSS grew in KiB";

	// Whatever was dropped, what was reported is whole: warm-up, then
	// complete copies of one report, then the marker.
	ASSERT_GE(out.size(), expected.size() + marker.size());
	EXPECT_EQ(out.compare(0, expected.size(), expected), 0);
	EXPECT_EQ(out.compare(out.size() - marker.size(), marker.size(), marker), 0);
	const std::string one = report("127.0.0.1:5001", sentence);
	const size_t middle = out.size() - expected.size() - marker.size();
	EXPECT_EQ(middle % one.size(), 0U);
	size_t whole = 0;
	for (size_t at = expected.size(); at + one.size() <= out.size() - marker.size(); at += one.size())
		whole += out.compare(at, one.size(), one) == 0;
	EXPECT_EQ(whole, middle / one.size());
	std::cout << "flood: " << whole << " reports\n";
	listener.stop();
	EXPECT_EQ(listener.errors(), "");
}

TEST(Signals, StopContinueAndIgnoredSignalsLoseNothing)
{
	Listener listener;
	ASSERT_TRUE(listener.wait_bound());
	std::string expected;
	for (int round = 0; round < 50; round++) {
		for (int i = 0; i < 20; i++) {
			const std::string sentence =
			    "$GPTXT,01,01,02,round " + std::to_string(round) + " " + std::to_string(i) + "\r\n";
			send_datagram(sentence, "127.0.0.1", 6000);
			expected += report("127.0.0.1:6000", sentence);
			if (i == 5)
				kill(listener.pid(), SIGSTOP);
			if (i == 10)
				kill(listener.pid(), SIGWINCH);
			if (i == 12)
				kill(listener.pid(), SIGCHLD);
			if (i == 15)
				kill(listener.pid(), SIGCONT);
		}
		kill(listener.pid(), SIGWINCH);
		const std::string out = listener.wait_output(expected.size(), 10);
		ASSERT_EQ(out, expected) << "round " << round;
	}
	EXPECT_TRUE(listener.running());
	listener.stop();
	EXPECT_EQ(listener.output(), expected);
	EXPECT_EQ(listener.errors(), "");
}

// Output that can no longer be written ends the listener with status 74,
// whatever the reason: it must not receive on, reporting to nobody.
TEST(DeadOutput, EndsWithStatus74)
{
	// The unit's case: systemd runs services with SIGPIPE ignored.
	signal(SIGPIPE, SIG_IGN);
	for (const char *name : {"DevFull", "ReaderGone", "HungUpTerminal", "FileSizeLimit"}) {
		SCOPED_TRACE(name);
		int ours = -1;
		int theirs = -1;
		const char *fault = "";
		if (name == std::string("DevFull")) {
			theirs = open("/dev/full", O_WRONLY | O_CLOEXEC);
		} else if (name == std::string("FileSizeLimit")) {
			// The shim sets a 64-byte limit, less than one report.
			theirs = open("/tmp", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
			fault = "fsize";
		} else if (name == std::string("ReaderGone")) {
			int p[2];
			ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
			ours = p[0];
			theirs = p[1];
		} else {
			ASSERT_EQ(openpty(&ours, &theirs, nullptr, nullptr, nullptr), 0);
			fcntl(ours, F_SETFD, FD_CLOEXEC);
			fcntl(theirs, F_SETFD, FD_CLOEXEC);
		}
		ASSERT_NE(theirs, -1);
		Listener listener({{}, fault, false, false, theirs});
		close(theirs);
		ASSERT_TRUE(listener.wait_bound());
		if (ours != -1)
			close(ours);
		send_datagram("$GPGGA,lost\r\n", "127.0.0.1", 4400);
		const int status = listener.wait_exit(10);
		EXPECT_TRUE(exited_with(status, kOutputLost)) << status;
		EXPECT_EQ(listener.errors(), "");
	}
}

// A full disk cuts the last report that fits; nothing may follow it, even
// once space is freed.
TEST(DeadOutput, FullDiskEndsAtACutReport)
{
	char dir[] = "/tmp/listener-full-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	ASSERT_EQ(mount("tmpfs", dir, "tmpfs", 0, "size=16k"), 0) << strerror(errno);
	const std::string path = std::string(dir) + "/out";
	const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
	ASSERT_NE(fd, -1);
	Listener listener({{}, "", false, false, fd});
	close(fd);
	ASSERT_TRUE(listener.wait_bound());
	std::string expected;
	for (int i = 0; i < 100; i++) {
		const std::string sentence = "$SEQ," + std::to_string(10000000 + i) + "," +
		    std::string(100, 'x') + "\r\n";
		send_datagram(sentence, "127.0.0.1", 4401);
		expected += report("127.0.0.1:4401", sentence);
	}
	const int status = listener.wait_exit(10);
	EXPECT_TRUE(exited_with(status, kOutputLost)) << status;
	std::ifstream file(path, std::ios::binary);
	const std::string got((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
	EXPECT_GT(got.size(), 0U);
	EXPECT_LT(got.size(), expected.size());
	EXPECT_TRUE(got == expected.substr(0, got.size())) << "not a prefix of the reports";
	EXPECT_EQ(listener.errors(), "");
	umount2(dir, MNT_DETACH);
	rmdir(dir);
}

enum class Reader { Resumes, ReadsOnceThenStalls, Never };

struct StopCase {
	const char *name;
	int sig;
	const char *fault;
	bool nonblocking;
	Reader reader;
	// A second signal, sent 0.3 s after the first (0: none).
	int later;
	// The signal it ends by; 0: it must keep running.
	int ends_by;
};

std::ostream &operator<<(std::ostream &os, const StopCase &c) { return os << c.name; }

class StopSignal : public testing::TestWithParam<StopCase> {};

// Stopped while its output waits on a one-page pipe that is not being read,
// the listener writes out every report it made once the reader resumes, and
// ends by that signal at once; a reader that stalls holds up the end by
// about a second, no more and no less.
TEST_P(StopSignal, WritesOutWhatWasReceived)
{
	using namespace std::chrono;
	const StopCase &c = GetParam();
	int p[2];
	ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
	ASSERT_EQ(fcntl(p[1], F_SETPIPE_SZ, 4096), 4096);
	if (c.nonblocking) {
		ASSERT_EQ(fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
	}
	Listener listener({{}, c.fault, false, false, p[1]});
	close(p[1]);
	ASSERT_TRUE(listener.wait_bound());

	// Ten reports fill the pipe and more, but not the listener's buffer.
	kill(listener.pid(), SIGSTOP);
	std::string expected;
	for (int i = 0; i < 10; i++) {
		const std::string payload = std::to_string(i) + std::string(499, 'q');
		send_datagram(payload, "127.0.0.1", 4402);
		expected += report("127.0.0.1:4402", payload);
	}
	kill(listener.pid(), SIGCONT);
	int queued = 0;
	const auto deadline = steady_clock::now() + seconds(10);
	while (queued < 4096 && steady_clock::now() < deadline) {
		ASSERT_EQ(ioctl(p[0], FIONREAD, &queued), 0);
		std::this_thread::sleep_for(milliseconds(10));
	}
	ASSERT_EQ(queued, 4096);
	if (c.nonblocking) {
		// Waiting for room must not spin.
		const long before = listener.cpu_ticks();
		std::this_thread::sleep_for(seconds(1));
		EXPECT_LT(listener.cpu_ticks() - before, 10);
	}

	const auto stopped = steady_clock::now();
	kill(listener.pid(), c.sig);
	std::string got;
	std::this_thread::sleep_for(milliseconds(100));
	if (c.reader == Reader::ReadsOnceThenStalls)
		got = read_all(p[0], 4096);
	if (c.later != 0) {
		std::this_thread::sleep_until(stopped + milliseconds(300));
		kill(listener.pid(), c.later);
	}
	if (c.reader == Reader::Resumes) {
		EXPECT_EQ(read_all(p[0], expected.size()), expected);
	}
	if (c.ends_by == 0) {
		std::this_thread::sleep_for(milliseconds(300));
		EXPECT_TRUE(listener.running());
		EXPECT_TRUE(killed_by(listener.stop(), SIGTERM));
	} else {
		const int status = listener.wait_exit(10);
		const auto took = duration<double>(steady_clock::now() - stopped).count();
		ASSERT_NE(status, -1) << "still running 10 s after the signal";
		EXPECT_TRUE(killed_by(status, c.ends_by)) << status;
		if (c.reader == Reader::Resumes) {
			EXPECT_LT(took, 0.5);
		} else {
			EXPECT_GT(took, 0.9);
			EXPECT_LT(took, 1.3);
		}
	}
	if (c.reader != Reader::Resumes) {
		got += read_all(p[0]);
		EXPECT_TRUE(got == expected.substr(0, got.size())) << "not a prefix of the reports";
	}
	close(p[0]);
	EXPECT_EQ(listener.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Stop, StopSignal, testing::Values(
    StopCase{"BlockingPipe", SIGTERM, "", false, Reader::Resumes, 0, SIGTERM},
    StopCase{"NonBlockingPipe", SIGTERM, "", true, Reader::Resumes, 0, SIGTERM},
    StopCase{"Sigint", SIGINT, "", false, Reader::Resumes, 0, SIGINT},
    StopCase{"Sighup", SIGHUP, "", false, Reader::Resumes, 0, SIGHUP},
    StopCase{"SighupIgnoredAtStart", SIGHUP, "ignore-hup", false, Reader::Resumes, 0, 0},
    StopCase{"ReaderNeverResumes", SIGTERM, "", false, Reader::Never, 0, SIGTERM},
    StopCase{"ReaderReadsOnceThenStalls", SIGTERM, "", false, Reader::ReadsOnceThenStalls, 0,
        SIGTERM},
    StopCase{"SignalsBlockedAtStart", SIGTERM, "block-signals", false, Reader::Never, 0, SIGTERM},
    StopCase{"AlarmIgnoredAtStart", SIGTERM, "ignore-alarm", false, Reader::Never, SIGALRM, SIGTERM},
    StopCase{"NonBlockingReaderNeverResumes", SIGTERM, "", true, Reader::Never, 0, SIGTERM},
    StopCase{"StrayAlarmChangesNothing", SIGTERM, "", false, Reader::Never, SIGALRM, SIGTERM},
    StopCase{"SecondStopSignalChangesNothing", SIGTERM, "", false, Reader::Never, SIGINT,
        SIGTERM}),
    [](const testing::TestParamInfo<StopCase> &info) { return info.param.name; });

struct PauseCase {
	const char *name;
	const char *fault;
	// Datagrams sent in one burst; every `step`-th of them is reported, the
	// others being lost to failed receives.
	int sent;
	int step;
	// Seconds within which the reports must be out.
	double within;
	// Wake-ups allowed in the quiet second after.
	long wakeups;
};

std::ostream &operator<<(std::ostream &os, const PauseCase &c) { return os << c.name; }

class Pauses : public testing::TestWithParam<PauseCase> {};

// Idle, or with receives failing, the listener sleeps, but never so long
// that a receive that works again waits: a failing receive first writes
// out the reports already made, and pauses of at most 100 ms.
TEST_P(Pauses, SleepsButNotTooLong)
{
	using namespace std::chrono;
	const PauseCase &c = GetParam();
	Listener listener({{}, c.fault});
	ASSERT_TRUE(listener.wait_bound());
	kill(listener.pid(), SIGSTOP);
	std::string expected;
	for (int i = 0; i < c.sent; i++) {
		const std::string payload = "$GPTXT," + std::to_string(i);
		send_datagram(payload, "127.0.0.1", 4403);
		if (i % c.step == 0)
			expected += report("127.0.0.1:4403", payload);
	}
	const auto sent = steady_clock::now();
	kill(listener.pid(), SIGCONT);
	EXPECT_EQ(listener.wait_output(expected.size(), 10), expected);
	EXPECT_LT(duration<double>(steady_clock::now() - sent).count(), c.within);

	const long ticks = listener.cpu_ticks();
	const long wakeups = listener.wakeups();
	std::this_thread::sleep_for(seconds(1));
	EXPECT_LT(listener.cpu_ticks() - ticks, 10);
	EXPECT_LE(listener.wakeups() - wakeups, c.wakeups);

	// Idle, a stop is seen at once, not at the next tick.
	const auto stopped = steady_clock::now();
	EXPECT_TRUE(killed_by(listener.stop(), SIGTERM));
	EXPECT_LT(duration<double>(steady_clock::now() - stopped).count(), 0.2);
	EXPECT_EQ(listener.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Receive, Pauses, testing::Values(
    PauseCase{"Idle", "", 1, 1, 1.0, 2},
    // Pauses of 1, 2, 4 ... 64 ms, then of 100 ms: about 16 in that second.
    PauseCase{"ReceivesKeepFailing", "recv-stuck", 1, 1, 1.0, 25},
    // 1 + 2 + ... + 64 + 13 * 100 ms of pauses, then the second datagram.
    PauseCase{"ReceivesHealAfter20Failures", "recv-heals", 2, 1, 1.8, 2},
    // Each success starts the pauses again from 1 ms.
    PauseCase{"EverySecondReceiveFails", "recv-alternate", 100, 2, 0.5, 2}),
    [](const testing::TestParamInfo<PauseCase> &info) { return info.param.name; });

// Started with standard output or error closed, the listener must not take
// the socket as that descriptor and write its reports into it.
TEST(ClosedStandardDescriptor, OpenedOnDevNull)
{
	for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
		SCOPED_TRACE(fd);
		Listener listener({{}, fd == STDOUT_FILENO ? "close-stdout" : "close-stderr"});
		ASSERT_TRUE(listener.wait_bound());
		send_datagram("one", "127.0.0.1", 4404);
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		ASSERT_TRUE(listener.running());
		char target[64] = {};
		const std::string link = "/proc/" + std::to_string(listener.pid()) + "/fd/" +
		    std::to_string(fd);
		ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
		EXPECT_STREQ(target, "/dev/null");
		EXPECT_TRUE(killed_by(listener.stop(), SIGTERM));
		EXPECT_EQ(listener.errors(), "");
	}
}

} // namespace
