// Receiving a batch over loopback with some datagrams split between the batch's buffer and a
// target of the caller's.
#include <gtest/gtest.h>

#include <numeric>

#include "korvalite/net/datagram_batch.hpp"
#include "korvalite/net/udp_socket.hpp"

using namespace korvalite;

namespace {

std::vector<std::byte> counting(std::size_t n, unsigned start) {
    std::vector<std::byte> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::byte>((start + i) & 0xFF);
    return v;
}

}  // namespace

TEST(DatagramBatch, TargetsTakeTheBytesAfterTheHeadAndGatherMakesDatagramsWhole) {
    auto receiver = net::UdpSocket::bind({*net::Ipv4Address::parse("127.0.0.52"), 0});
    auto sender = net::UdpSocket::bind({*net::Ipv4Address::parse("127.0.0.53"), 0});
    ASSERT_TRUE(receiver && sender);
    const auto to = *receiver->local_endpoint();
    // Fits its target exactly / shorter than the head / runs past its target / has no target.
    const std::vector<std::vector<std::byte>> sent = {counting(108, 1), counting(5, 2), counting(300, 3),
                                                      counting(50, 4)};
    for (const auto& d : sent) ASSERT_TRUE(sender->send_to(d, to));

    net::DatagramBatch batch(8, 1024);
    std::vector<std::byte> target(3 * 100, std::byte{0xEE});
    for (std::size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(batch.set_target(i, 8, std::span(target).subspan(i * 100, 100)));
    std::vector<std::byte> too_big(1017);
    EXPECT_FALSE(batch.set_target(3, 8, too_big)) << "beyond the slot's capacity";
    EXPECT_FALSE(batch.has_target(3));

    auto received = batch.receive(receiver->fd());
    ASSERT_TRUE(received);
    ASSERT_EQ(*received, 4u);
    struct Split {
        std::size_t head, target, overflow;
    };
    const Split expected[] = {{8, 100, 0}, {5, 0, 0}, {8, 100, 192}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(batch.head(i).size(), expected[i].head) << i;
        EXPECT_EQ(batch.target_bytes(i), expected[i].target) << i;
        EXPECT_EQ(batch.overflow_bytes(i), expected[i].overflow) << i;
        EXPECT_TRUE(std::equal(batch.head(i).begin(), batch.head(i).end(), sent[i].begin())) << i;
    }
    EXPECT_TRUE(std::equal(target.begin(), target.begin() + 100, sent[0].begin() + 8));
    EXPECT_EQ(target[100], std::byte{0xEE}) << "the short datagram left its target alone";
    EXPECT_TRUE(std::equal(target.begin() + 200, target.end(), sent[2].begin() + 8));
    for (std::size_t i = 0; i < 4; ++i) {
        batch.gather(i);
        const auto whole = batch.datagram(i);
        EXPECT_TRUE(std::equal(whole.begin(), whole.end(), sent[i].begin(), sent[i].end())) << i;
    }

    // Without targets every slot takes its datagram whole again.
    batch.clear_targets();
    ASSERT_TRUE(sender->send_to(sent[2], to));
    received = batch.receive(receiver->fd());
    ASSERT_TRUE(received);
    ASSERT_EQ(*received, 1u);
    EXPECT_FALSE(batch.has_target(0));
    EXPECT_TRUE(std::ranges::equal(batch.datagram(0), sent[2]));
}
