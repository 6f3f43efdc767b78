// Robustness: random payloads against a model, a flood, and signals mid-run.
#include <sys/socket.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

constexpr size_t kReceiveLimit = 512;

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

} // namespace
