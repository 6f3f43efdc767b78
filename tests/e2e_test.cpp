// End-to-end: the real listener, real datagrams, output compared byte for byte.
#include <sys/socket.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

using namespace std::string_literals;

namespace {

const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

std::string every_nonzero_byte()
{
	std::string bytes;
	for (int c = 1; c < 256; c++)
		bytes += static_cast<char>(c);
	return bytes;
}

std::string alphabet_cycle(size_t length)
{
	std::string text;
	for (size_t i = 0; i < length; i++)
		text += static_cast<char>('a' + i % 26);
	return text;
}

struct Datagram {
	const char *src;
	uint16_t port;
	std::string payload;
};

struct ReportCase {
	const char *name;
	ListenerOptions options;
	std::vector<Datagram> sent;
	std::string expected;
	// Sent while the listener is stopped, so that it takes them as one burst,
	// which must go out in this many writes.
	bool queued = false;
	long min_writes = 1;
	long max_writes = 10;
};

std::ostream &operator<<(std::ostream &os, const ReportCase &c) { return os << c.name; }

const ListenerOptions kPipe;
const ListenerOptions kTerminal{{}, "", true, false};

std::string repeat(const std::string &text, size_t times)
{
	std::string out;
	for (size_t i = 0; i < times; i++)
		out += text;
	return out;
}

// One datagram from 127.0.0.1:4300 and the report expected for it.
ReportCase one(const char *name, const ListenerOptions &options, const std::string &sent,
    const std::string &shown)
{
	return {name, options, {{"127.0.0.1", 4300, sent}}, report("127.0.0.1:4300", shown)};
}

// Reports must survive a reader that takes them a page at a time through a
// non-blocking pipe: short writes and EAGAIN lose nothing.
ReportCase cramped_pipe_burst()
{
	ReportCase c{"CrampedNonBlockingPipeLosesNothing", {{}, "", false, true}, {}, ""};
	for (int i = 0; i < 100; i++) {
		const std::string payload = std::to_string(i) + std::string(500, 'p');
		c.sent.push_back({"127.0.0.1", 4150, payload});
		c.expected += report("127.0.0.1:4150", payload.substr(0, 512));
	}
	return c;
}

// A burst is written in a few large writes, and a short report between
// full ones must not overrun the output buffer.
ReportCase queued_burst(const char *name, const std::vector<size_t> &sizes,
    const ListenerOptions &options = kPipe)
{
	ReportCase c{name, options, {}, "", true};
	for (size_t i = 0; i < sizes.size(); i++) {
		const std::string payload = alphabet_cycle(sizes[i]).replace(0, 1, std::to_string(i));
		c.sent.push_back({"127.0.0.1", 4160, payload});
		c.expected += report("127.0.0.1:4160", payload.substr(0, 512));
	}
	return c;
}

// 15 reports of 1082 bytes and one of 155 are one byte more than the
// listener's 16 KiB output buffer: it must write out before the last.
ReportCase one_byte_over_the_buffer()
{
	ReportCase c = queued_burst("QueuedOneByteOverTheBuffer", std::vector<size_t>(15, 512));
	c.sent.push_back({"203.0.113.5", 500, std::string(48, 'z')});
	c.expected += report("203.0.113.5:500", std::string(48, 'z'));
	return c;
}

// On a terminal each report is written as it is made, even in a burst.
ReportCase terminal_burst()
{
	ReportCase c = queued_burst("TerminalQueuedOneWritePerReport", std::vector<size_t>(50, 10),
	    kTerminal);
	c.min_writes = c.max_writes = 50;
	return c;
}

// A stop that comes mid-burst still writes out the reports already made.
ReportCase stop_mid_burst()
{
	ReportCase c = queued_burst("StopMidBurstWritesWhatWasTaken", std::vector<size_t>(3, 80));
	ReportCase rest = queued_burst("", std::vector<size_t>(5, 80));
	c.options.fault = "stop-mid-burst";
	c.sent = rest.sent;
	return c;
}

std::vector<std::string> sample_lines()
{
	std::ifstream file(SAMPLE_PATH, std::ios::binary);
	std::vector<std::string> lines;
	for (std::string line; std::getline(file, line);)
		lines.push_back(line + "\n");
	return lines;
}

ReportCase sample_replay()
{
	ReportCase c{"SampleReplayGivesOneReportPerLine", kPipe, {}, ""};
	for (const auto &line : sample_lines()) {
		c.sent.push_back({"192.0.2.7", 10110, line});
		c.expected += report("192.0.2.7:10110", line);
	}
	return c;
}

const std::string kHostile = "$GPTXT,\x1b]0;owned\x07\x1b[2J\x7f\xc2\x9b\xc2\xa0\xc3\xa9\t~\r\n";

class Reports : public testing::TestWithParam<ReportCase> {};

TEST_P(Reports, OutputIsExact)
{
	const ReportCase &c = GetParam();
	Listener listener(c.options);
	ASSERT_TRUE(listener.wait_bound());
	const long writes_before = listener.writes();
	if (c.queued)
		kill(listener.pid(), SIGSTOP);
	for (const auto &d : c.sent)
		send_datagram(d.payload, d.src, d.port);
	if (c.queued)
		kill(listener.pid(), SIGCONT);
	EXPECT_EQ(listener.wait_output(c.expected.size(), 10), c.expected);
	// A wrapper such as valgrind makes writes of its own.
	if (c.queued && getenv("LISTENER_WRAPPER") == nullptr) {
		EXPECT_GE(listener.writes() - writes_before, c.min_writes);
		EXPECT_LE(listener.writes() - writes_before, c.max_writes);
	}
	const int status = listener.stop();
	EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
	EXPECT_EQ(listener.output(), c.expected);
	EXPECT_EQ(listener.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Datagrams, Reports, testing::Values(
    ReportCase{"FiveBytes", kPipe, {{"192.0.2.7", 500, "abcde"}},
        "Received packet from 192.0.2.7:500\nData: abcde\nreceive UDP : abcde\n"},
    ReportCase{"Empty", kPipe, {{"127.0.0.1", 4000, ""}},
        "Received packet from 127.0.0.1:4000\nData: \nreceive UDP : \n"},
    ReportCase{"LongerThan512ThenShort", kPipe,
        {{"127.0.0.1", 4001, std::string(512, 'L') + std::string(88, 'X')},
            {"127.0.0.1", 4001, "ok"}},
        report("127.0.0.1:4001", std::string(512, 'L')) + report("127.0.0.1:4001", "ok")},
    one("Exactly512", kPipe, alphabet_cycle(512), alphabet_cycle(512)),
    one("LargestDatagram", kPipe, std::string(65507, 'M'), std::string(512, 'M')),
    one("ZeroByteEndsPayload", kPipe, "ab\0cd"s, "ab"),
    ReportCase{"NmeaEndingInCrLf", kPipe, {{"127.0.0.1", 4005, kGga}},
        "Received packet from 127.0.0.1:4005\nData: " + kGga + "\nreceive UDP : " + kGga + "\n"},
    ReportCase{"UpperHalfPorts", kPipe,
        {{"203.0.113.5", 32768, "a"}, {"203.0.113.5", 65535, "b"}},
        report("203.0.113.5:32768", "a") + report("203.0.113.5:65535", "b")},
    // The longest first line: a 15-character address and a 5-digit port.
    ReportCase{"LongestSender", kPipe, {{"127.255.255.254", 65535, "x"}},
        report("127.255.255.254:65535", "x")},
    ReportCase{"SameSenderPortOtherAddress", kPipe,
        {{"192.0.2.7", 501, "a"}, {"203.0.113.5", 501, "b"}, {"192.0.2.7", 501, "c"}},
        report("192.0.2.7:501", "a") + report("203.0.113.5:501", "b") +
            report("192.0.2.7:501", "c")},
    one("EveryByteValueUnchangedInPipe", kPipe, every_nonzero_byte(), every_nonzero_byte()),
    ReportCase{"ArgumentsIgnored", {{"-p", "1234", "--help", "extra"}, "", false, false},
        {{"192.0.2.7", 500, "abcde"}}, report("192.0.2.7:500", "abcde")},
    // The first receive that takes a datagram fails; only the next is reported.
    ReportCase{"FailedReceiveGivesNoReport", {{}, "recv", false, false},
        {{"127.0.0.1", 4200, "lost in a failed receive"}, {"127.0.0.1", 4201, "next"}},
        report("127.0.0.1:4201", "next")},
    // A blocked SIGALRM pending since the start stays pending and harms nothing.
    ReportCase{"AlarmPendingAtStart", {{}, "pending-alarm", false, false},
        {{"192.0.2.7", 500, "abcde"}}, report("192.0.2.7:500", "abcde")},
    cramped_pipe_burst(),
    queued_burst("QueuedMixedBurst", {512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512,
        512, 512, 512, 100, 512}),
    queued_burst("QueuedHundredInFewWrites", std::vector<size_t>(100, 60)),
    one_byte_over_the_buffer(),
    terminal_burst(),
    stop_mid_burst(),
    sample_replay(),
    one("PipeGetsControlBytesUnchanged", kPipe, kHostile, kHostile),
    one("TerminalShowsControlsVisibly", kTerminal, kHostile,
        "$GPTXT,^[]0;owned^G^[[2J^?<U+009B>\xc2\xa0\xc3\xa9\t~\r\n"),
    // The widest a payload can grow: 512 bytes of two-byte C1 controls.
    // Bytes 0x80-0x9F outside UTF-8 are C1 controls to an 8-bit terminal;
    // inside valid UTF-8 (the euro sign is E2 82 AC) they are text.
    one("TerminalShowsBareC1Visibly", kTerminal, "hello world \x9b" "2J \xe2\x82\xac \x80\xc3",
        "hello world <9B>2J \xe2\x82\xac <80>\xc3"),
    one("TerminalFullPayloadOfC1", kTerminal, repeat("\xc2\x9b", 300), repeat("<U+009B>", 256)),
    one("TerminalFullPayloadOfEscapes", kTerminal, std::string(600, '\x1b'), repeat("^[", 512)),
    one("TerminalC1PairCutAtTheLimit", kTerminal, std::string(511, 'a') + "\xc2\x9b",
        std::string(511, 'a') + "\xc2")),
    [](const testing::TestParamInfo<ReportCase> &info) { return info.param.name; });

struct StartupCase {
	const char *name;
	std::string fault;
	bool port_taken;
	std::string expected;
	// Ended by this signal, not seconds before `at`, instead of status 1.
	int sig = 0;
	double at = 0;
};

std::ostream &operator<<(std::ostream &os, const StartupCase &c) { return os << c.name; }

class EndsOnItsOwn : public testing::TestWithParam<StartupCase> {};

TEST_P(EndsOnItsOwn, MessageAndStatus)
{
	const StartupCase &c = GetParam();
	int taken = -1;
	if (c.port_taken) {
		taken = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
		ASSERT_NE(taken, -1);
		sockaddr_in any{};
		any.sin_family = AF_INET;
		any.sin_port = htons(kListenerPort);
		ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
	}
	const auto start = std::chrono::steady_clock::now();
	Listener listener({{}, c.fault, false, false});
	const int status = listener.wait_exit(10);
	EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), c.at);
	EXPECT_TRUE(c.sig != 0 ? WIFSIGNALED(status) && WTERMSIG(status) == c.sig
			       : WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
	EXPECT_EQ(listener.output(), c.expected);
	EXPECT_EQ(listener.errors(), "");
	if (taken != -1)
		close(taken);
}

INSTANTIATE_TEST_SUITE_P(Startup, EndsOnItsOwn, testing::Values(
    StartupCase{"PortTaken", "", true, "Server : Can't bind local address\n"},
    StartupCase{"SocketCannotBeCreated", "socket", false, "Server : socket create error\n"},
    StartupCase{"TimerCannotBeCreated", "timer", false, "Server : Can't create the stop timer\n"},
    // SIGALRM ends it as it ends any program: a parent's alarm(1) and timer.
    StartupCase{"InheritedAlarm", "alarm", false, "", SIGALRM, 0.9},
    StartupCase{"InheritedRepeatingTimer", "itimer", false, "", SIGALRM, 0.09}),
    [](const testing::TestParamInfo<StartupCase> &info) { return info.param.name; });

// A second host: a child in a namespace of its own, joined to ours by veth.
TEST(SecondHost, UnicastAndBroadcastAreReported)
{
	Listener listener;
	ASSERT_TRUE(listener.wait_bound());

	int ready[2];
	int go[2];
	ASSERT_EQ(pipe(ready), 0);
	ASSERT_EQ(pipe(go), 0);
	const pid_t host = fork();
	ASSERT_NE(host, -1);
	if (host == 0) {
		char byte = 0;
		if (unshare(CLONE_NEWNET) == -1 || write(ready[1], &byte, 1) != 1 ||
		    read(go[0], &byte, 1) != 1)
			_exit(2);
		if (system("ip link set lo up && ip addr add 198.51.100.2/24 dev v1 && "
			   "ip link set v1 up") != 0)
			_exit(3);
		// Broadcast first: the unicast waits for address resolution, so
		// this order is also the order of arrival.
		send_datagram("$GPRMC,broadcast\r\n", "198.51.100.2", 7000, "198.51.100.255");
		send_datagram("$GPRMC,unicast\r\n", "198.51.100.2", 7000, "198.51.100.1");
		_exit(testing::Test::HasFailure() ? 4 : 0);
	}
	char byte = 0;
	ASSERT_EQ(read(ready[0], &byte, 1), 1);
	sh("ip link add v0 type veth peer name v1 netns " + std::to_string(host));
	sh("ip addr add 198.51.100.1/24 dev v0 && ip link set v0 up");
	ASSERT_EQ(write(go[1], &byte, 1), 1);
	int status = 0;
	ASSERT_EQ(waitpid(host, &status, 0), host);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

	const std::string expected = report("198.51.100.2:7000", "$GPRMC,broadcast\r\n") +
	    report("198.51.100.2:7000", "$GPRMC,unicast\r\n");
	EXPECT_EQ(listener.wait_output(expected.size(), 10), expected);
	listener.stop();
	EXPECT_EQ(listener.errors(), "");
	for (int fd : {ready[0], ready[1], go[0], go[1]})
		close(fd);
}

TEST(IdleFlush, ReportReadableFromPipeWithinOneSecond)
{
	Listener listener;
	ASSERT_TRUE(listener.wait_bound());
	send_datagram(kGga, "127.0.0.1", 4100);
	const std::string expected = report("127.0.0.1:4100", kGga);
	EXPECT_EQ(listener.wait_output(expected.size(), 1.0), expected);
	listener.stop();
	EXPECT_EQ(listener.errors(), "");
}

TEST(IdleFlush, SigtermAfterIdleLosesNoReport)
{
	Listener listener;
	ASSERT_TRUE(listener.wait_bound());
	std::string expected;
	for (int i = 0; i < 20; i++) {
		const std::string sentence = "$GPTXT,01,01,02,report " + std::to_string(i) + "*00\r\n";
		send_datagram(sentence, "127.0.0.1", 4101);
		expected += report("127.0.0.1:4101", sentence);
	}
	// Give the listener time to go idle; the output is not read before the stop.
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	listener.stop();
	EXPECT_EQ(listener.output(), expected);
	EXPECT_EQ(listener.errors(), "");
}

TEST(TerminalSafety, NoRawEscapeForAnyByteValue)
{
	Listener listener(kTerminal);
	ASSERT_TRUE(listener.wait_bound());
	std::string payload = every_nonzero_byte();
	for (int c = 0x80; c <= 0x9F; c++)
		payload += "\xc2"s + static_cast<char>(c);
	send_datagram(payload, "127.0.0.1", 4301);
	send_datagram("end", "127.0.0.1", 4302);
	const std::string last = report("127.0.0.1:4302", "end");
	const std::string out = listener.wait_output_ending(last, 10);
	const std::string first = "Received packet from 127.0.0.1:4301\nData: ";
	ASSERT_EQ(out.compare(0, first.size(), first), 0) << out;
	ASSERT_EQ(out.compare(out.size() - last.size(), last.size(), last), 0) << out;
	EXPECT_EQ(out.find('\x1b'), std::string::npos);
	for (size_t i = 0; i + 1 < out.size(); i++)
		EXPECT_FALSE(out[i] == '\xc2' && (static_cast<unsigned char>(out[i + 1]) & 0xE0) == 0x80)
		    << "C1 control at " << i;
	listener.stop();
	EXPECT_EQ(listener.errors(), "");
}

TEST(SampleData, EverySentenceHasAValidChecksumAndEndsInCrLf)
{
	const auto lines = sample_lines();
	ASSERT_GE(lines.size(), 5U);
	for (const auto &line : lines) {
		SCOPED_TRACE(line);
		ASSERT_GE(line.size(), 6U);
		EXPECT_TRUE(line[0] == '$' || line[0] == '!');
		EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
		const size_t star = line.size() - 5;
		ASSERT_EQ(line[star], '*');
		unsigned sum = 0;
		for (size_t i = 1; i < star; i++)
			sum ^= static_cast<unsigned char>(line[i]);
		char hex[3];
		snprintf(hex, sizeof hex, "%02X", sum);
		EXPECT_EQ(line.substr(star + 1, 2), hex);
	}
}

} // namespace
